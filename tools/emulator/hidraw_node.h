// A USB-HID reader's hidraw node, served by this process through FUSE, so
// that the library's hidraw transport meets it through the kernel: open,
// write, poll, read and the hidraw ioctls go through the system calls a real
// node gets.
//
//   <root>/sys/class/hidraw/hidraw0/device/{uevent,report_descriptor}
//   <root>/dev/hidraw0        the node (a FUSE file, direct I/O, no seeking)
//
// Point the library at it with QUILLON_HIDRAW_ROOT=<root>. Each write(2) is
// one output report, handed to the report handler; each read(2) takes one
// queued input report (cut to the reader's buffer, the rest of it lost, as
// hidraw does) or fails with EAGAIN; poll(2) wakes when a report is queued.
// The node answers HIDIOCGRDESCSIZE, HIDIOCGRDESC, HIDIOCGRAWINFO and
// HIDIOCGRAWNAME unless told not to (then only the class folder's
// report_descriptor tells the report lengths).
//
// Unplug() plays a reader pulled out: open files read EIO, write ENODEV and
// poll POLLERR | POLLHUP for good, the node and its class entry are gone
// until Replug(). Kill() plays the server dying under open files: the FUSE
// connection is aborted (ENOTCONN) and the node is gone.
//
// Every method may be called from any thread while the node is served.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"

struct fuse_session;
struct fuse_pollhandle;

namespace quillon::emu {

struct HidDevice {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    Bytes descriptor;      // the report descriptor
    std::string name = ""; // HIDIOCGRAWNAME
    bool answersIoctls = true;
};

// Vendor-defined report descriptor: an input report of `in` and an output
// report of `out` data bytes, numbered with reportId (0: not numbered).
Bytes VendorDescriptor(uint8_t reportId, uint16_t in, uint16_t out);

class HidrawNode {
public:
    // Called on the server's thread with each output report, as written.
    using ReportHandler = std::function<void(const Bytes& report)>;

    explicit HidrawNode(const HidDevice& device);
    ~HidrawNode(); // unmounts and removes the folder, whatever happened
    HidrawNode(const HidrawNode&) = delete;
    HidrawNode& operator=(const HidrawNode&) = delete;

    // Makes the folder (empty: a new one in the temporary folder, removed
    // with the node) and mounts the node; false with the reason when FUSE
    // cannot be had here (no /dev/fuse, mounting not allowed).
    bool bStart(std::string& why, const std::string& folder = "");
    const std::string& Root() const { return m_root; }
    std::string ClassDir() const { return m_root + "/sys/class/hidraw"; }
    std::string DevDir() const { return m_root + "/dev"; }

    void SetHandler(ReportHandler handler);
    // Queues an input report and wakes a poll that waits for one.
    void Send(const Bytes& report);
    // Holds the report until the host waits in poll with nothing queued,
    // then queues it: a reply that comes while the host waits.
    void SendWhenWaited(const Bytes& report);
    // Waits until the host has polled for input with nothing queued `count`
    // times in all; false when that did not happen within `timeout`.
    bool WaitPolled(size_t count, std::chrono::milliseconds timeout);

    void Unplug();
    void Replug();
    void Kill();

    std::vector<Bytes> Written();
    size_t Queued();
    size_t DescriptorIoctls(); // HIDIOCGRDESC answered

private:
    friend struct HidrawOps;
    void Serve();
    void WakePoller(std::unique_lock<std::mutex>& lock);
    void WriteClassEntry();
    void StopServing();

    HidDevice m_device;
    std::string m_root;
    bool m_ownsRoot = false;
    fuse_session* m_session = nullptr;
    int m_stopFd = -1;
    std::thread m_thread;

    std::mutex m_mu;
    std::condition_variable m_polledCv;
    ReportHandler m_handler;
    bool m_plugged = true;
    uint64_t m_generation = 1; // of the node; open files keep theirs
    std::deque<Bytes> m_queue, m_held;
    std::vector<Bytes> m_written;
    fuse_pollhandle* m_poller = nullptr;
    size_t m_polled = 0;
    size_t m_descriptorIoctls = 0;
};

} // namespace quillon::emu

#define FUSE_USE_VERSION 35

#include "hidraw_node.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::emu {

namespace fs = std::filesystem;

namespace {

constexpr fuse_ino_t kNodeIno = 2;
const char* const kNodeName = "hidraw0";

void FileAttr(fuse_ino_t ino, struct stat& st) {
    std::memset(&st, 0, sizeof st);
    st.st_ino = ino;
    st.st_mode = ino == FUSE_ROOT_ID ? (S_IFDIR | 0755) : (S_IFREG | 0600);
    st.st_nlink = ino == FUSE_ROOT_ID ? 2 : 1;
}

} // namespace

Bytes VendorDescriptor(uint8_t reportId, uint16_t in, uint16_t out) {
    Bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
    if (reportId)
        d.insert(d.end(), {0x85, reportId});
    d.insert(d.end(), {0x75, 0x08});
    const auto count = [&d](uint16_t bytes, uint8_t main) {
        d.insert(d.end(),
                 {0x96, uint8_t(bytes & 0xFF), uint8_t(bytes >> 8), 0x09, 0x01, main, 0x02});
    };
    count(in, 0x81);
    count(out, 0x91);
    d.push_back(0xC0);
    return d;
}

// The node's file operations, on the server's thread.
struct HidrawOps {
    static HidrawNode& Node(fuse_req_t req) {
        return *static_cast<HidrawNode*>(fuse_req_userdata(req));
    }

    static void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
        HidrawNode& n = Node(req);
        std::unique_lock<std::mutex> lock(n.m_mu);
        if (parent != FUSE_ROOT_ID || std::strcmp(name, kNodeName) != 0 || !n.m_plugged) {
            lock.unlock();
            fuse_reply_err(req, ENOENT);
            return;
        }
        fuse_entry_param e;
        std::memset(&e, 0, sizeof e);
        e.ino = kNodeIno;
        e.generation = n.m_generation;
        FileAttr(kNodeIno, e.attr);
        lock.unlock();
        fuse_reply_entry(req, &e); // no caching: an unplug shows at once
    }

    static void GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
        struct stat st;
        FileAttr(ino, st);
        fuse_reply_attr(req, &st, 0);
    }

    static void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        HidrawNode& n = Node(req);
        std::unique_lock<std::mutex> lock(n.m_mu);
        if (ino != kNodeIno || !n.m_plugged) {
            lock.unlock();
            fuse_reply_err(req, ino == kNodeIno ? ENODEV : EISDIR);
            return;
        }
        fi->fh = n.m_generation;
        fi->direct_io = 1; // one read(2) or write(2) is one request, never cached
        fi->nonseekable = 1;
        lock.unlock();
        fuse_reply_open(req, fi);
    }

    // The open file still belongs to the node plugged in.
    static bool bLive(HidrawNode& n, const fuse_file_info* fi) {
        return n.m_plugged && fi->fh == n.m_generation;
    }

    static void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info* fi) {
        HidrawNode& n = Node(req);
        std::unique_lock<std::mutex> lock(n.m_mu);
        if (!bLive(n, fi) || n.m_queue.empty()) {
            const int err = bLive(n, fi) ? EAGAIN : EIO;
            lock.unlock();
            fuse_reply_err(req, err);
            return;
        }
        const Bytes report = std::move(n.m_queue.front());
        n.m_queue.pop_front();
        lock.unlock();
        fuse_reply_buf(req, reinterpret_cast<const char*>(report.data()),
                       std::min(size, report.size()));
    }

    static void Write(fuse_req_t req, fuse_ino_t, const char* buf, size_t size, off_t,
                      fuse_file_info* fi) {
        HidrawNode& n = Node(req);
        std::unique_lock<std::mutex> lock(n.m_mu);
        if (!bLive(n, fi)) {
            lock.unlock();
            fuse_reply_err(req, ENODEV);
            return;
        }
        const Bytes report(buf, buf + size);
        n.m_written.push_back(report);
        const HidrawNode::ReportHandler handler = n.m_handler;
        lock.unlock();
        fuse_reply_write(req, size);
        if (handler)
            handler(report);
    }

    // hidraw's answer to one ioctl into out; an errno when it has none.
    static int iIoctl(HidrawNode& n, unsigned int cmd, size_t outSize, Bytes& out) {
        const HidDevice& d = n.m_device;
        if (cmd == HIDIOCGRDESCSIZE) {
            const int size = int(d.descriptor.size());
            out.assign(reinterpret_cast<const uint8_t*>(&size),
                       reinterpret_cast<const uint8_t*>(&size) + sizeof size);
        } else if (cmd == HIDIOCGRDESC) {
            // The kernel hands a restricted ioctl no input: the caller's
            // size field is not seen, the whole descriptor goes back.
            hidraw_report_descriptor desc;
            std::memset(&desc, 0, sizeof desc);
            desc.size = uint32_t(d.descriptor.size());
            std::memcpy(desc.value, d.descriptor.data(), d.descriptor.size());
            out.assign(reinterpret_cast<const uint8_t*>(&desc),
                       reinterpret_cast<const uint8_t*>(&desc) + sizeof desc);
            ++n.m_descriptorIoctls;
        } else if (cmd == HIDIOCGRAWINFO) {
            const hidraw_devinfo info{3 /* BUS_USB */, int16_t(d.vendorId), int16_t(d.productId)};
            out.assign(reinterpret_cast<const uint8_t*>(&info),
                       reinterpret_cast<const uint8_t*>(&info) + sizeof info);
        } else if ((cmd & ~(unsigned(_IOC_SIZEMASK) << _IOC_SIZESHIFT)) == HIDIOCGRAWNAME(0)) {
            out.assign(d.name.begin(), d.name.end());
            out.push_back(0);
        } else {
            return ENOTTY;
        }
        if (out.size() > outSize)
            out.resize(outSize);
        return 0;
    }

    static void Ioctl(fuse_req_t req, fuse_ino_t, unsigned int cmd, void*, fuse_file_info* fi,
                      unsigned, const void*, size_t, size_t outSize) {
        HidrawNode& n = Node(req);
        std::unique_lock<std::mutex> lock(n.m_mu);
        Bytes out;
        int err = ENODEV;
        if (bLive(n, fi))
            err = n.m_device.answersIoctls ? iIoctl(n, cmd, outSize, out) : ENOTTY;
        lock.unlock();
        if (err)
            fuse_reply_err(req, err);
        else
            fuse_reply_ioctl(req, int(out.size()), out.data(), out.size());
    }

    static void Poll(fuse_req_t req, fuse_ino_t, fuse_file_info* fi, fuse_pollhandle* ph) {
        HidrawNode& n = Node(req);
        std::unique_lock<std::mutex> lock(n.m_mu);
        if (ph) {
            if (n.m_poller)
                fuse_pollhandle_destroy(n.m_poller);
            n.m_poller = ph;
        }
        unsigned events = POLLOUT | POLLWRNORM;
        if (!bLive(n, fi))
            events |= POLLERR | POLLHUP;
        else if (!n.m_queue.empty())
            events |= POLLIN | POLLRDNORM;
        const bool waits = bLive(n, fi) && n.m_queue.empty();
        if (waits) {
            ++n.m_polled;
            n.m_polledCv.notify_all();
        }
        lock.unlock();
        fuse_reply_poll(req, events);
        if (waits) {
            // What was held for this moment comes in now, behind the reply.
            lock.lock();
            const bool held = !n.m_held.empty();
            while (!n.m_held.empty()) {
                n.m_queue.push_back(std::move(n.m_held.front()));
                n.m_held.pop_front();
            }
            if (held)
                n.WakePoller(lock);
        }
    }
};

HidrawNode::HidrawNode(const HidDevice& device) : m_device(device) {}

HidrawNode::~HidrawNode() {
    StopServing();
    if (m_poller)
        fuse_pollhandle_destroy(m_poller);
    if (m_session)
        fuse_session_destroy(m_session);
    if (m_stopFd >= 0)
        ::close(m_stopFd);
    std::error_code ec;
    if (m_ownsRoot) {
        fs::remove_all(m_root, ec);
    } else if (!m_root.empty()) { // a folder it was given: what it made there
        fs::remove_all(fs::path(m_root) / "sys", ec);
        fs::remove(DevDir(), ec);
    }
}

void HidrawNode::WriteClassEntry() {
    const fs::path dev = fs::path(ClassDir()) / kNodeName / "device";
    fs::create_directories(dev);
    char id[64];
    std::snprintf(id, sizeof id, "HID_ID=0003:%08X:%08X", m_device.vendorId, m_device.productId);
    std::ofstream(dev / "uevent") << "DRIVER=hid-generic\n"
                                  << id << "\nHID_NAME=" << m_device.name << "\n";
    std::ofstream(dev / "report_descriptor", std::ios::binary)
        .write(reinterpret_cast<const char*>(m_device.descriptor.data()),
               std::streamsize(m_device.descriptor.size()));
}

bool HidrawNode::bStart(std::string& why, const std::string& folder) {
    std::string temp = (fs::temp_directory_path() / "quillon-hidraw-XXXXXX").string();
    m_ownsRoot = folder.empty() && ::mkdtemp(temp.data());
    m_root = m_ownsRoot ? temp : folder;
    if (m_root.empty() || fs::path(m_root).lexically_normal() == "/") {
        why = "no folder of its own for the node";
        m_root.clear();
        return false;
    }
    std::error_code ec;
    fs::create_directories(DevDir(), ec);
    if (ec) {
        why = "cannot make " + DevDir() + ": " + ec.message();
        return false;
    }
    WriteClassEntry();
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        why = std::string("/dev/fuse: ") + std::strerror(errno);
        return false;
    }
    static fuse_lowlevel_ops s_ops = [] {
        fuse_lowlevel_ops o;
        std::memset(&o, 0, sizeof o);
        o.lookup = HidrawOps::Lookup;
        o.getattr = HidrawOps::GetAttr;
        o.open = HidrawOps::Open;
        o.read = HidrawOps::Read;
        o.write = HidrawOps::Write;
        o.ioctl = HidrawOps::Ioctl;
        o.poll = HidrawOps::Poll;
        return o;
    }();
    char arg0[] = "quillon-hidraw";
    char* argv[] = {arg0, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    m_session = fuse_session_new(&args, &s_ops, sizeof s_ops, this);
    fuse_opt_free_args(&args);
    if (!m_session || fuse_session_mount(m_session, DevDir().c_str()) != 0) {
        why = "cannot mount a FUSE file system on " + DevDir();
        return false;
    }
    m_stopFd = ::eventfd(0, EFD_CLOEXEC);
    m_thread = std::thread([this] { Serve(); });
    // One open and close while the server runs: the kernel learns that the
    // node has no flush, so a file of it closed by a dying process (this
    // one, its server gone) is not held up waiting for an answer.
    const int fd = ::open((DevDir() + "/" + kNodeName).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        ::close(fd);
    return true;
}

void HidrawNode::Serve() {
    fuse_buf buf;
    std::memset(&buf, 0, sizeof buf);
    const int fd = fuse_session_fd(m_session);
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno == EINTR)
            continue;
        if (fds[1].revents)
            break;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            break;
        const int got = fuse_session_receive_buf(m_session, &buf);
        if (got == -EINTR || got == -EAGAIN)
            continue;
        if (got <= 0)
            break;
        fuse_session_process_buf(m_session, &buf);
    }
    std::free(buf.mem);
}

void HidrawNode::StopServing() {
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        (void)!::write(m_stopFd, &one, sizeof one);
        m_thread.join();
    }
    // Closes the connection (open files then fail) and detaches the mount.
    if (m_session)
        fuse_session_unmount(m_session);
}

void HidrawNode::WakePoller(std::unique_lock<std::mutex>& lock) {
    if (m_poller)
        fuse_lowlevel_notify_poll(m_poller);
    lock.unlock();
}

void HidrawNode::SetHandler(ReportHandler handler) {
    std::lock_guard<std::mutex> lock(m_mu);
    m_handler = std::move(handler);
}

void HidrawNode::Send(const Bytes& report) {
    std::unique_lock<std::mutex> lock(m_mu);
    m_queue.push_back(report);
    WakePoller(lock);
}

void HidrawNode::SendWhenWaited(const Bytes& report) {
    std::lock_guard<std::mutex> lock(m_mu);
    m_held.push_back(report);
}

bool HidrawNode::WaitPolled(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mu);
    return m_polledCv.wait_for(lock, timeout, [&] { return m_polled >= count; });
}

void HidrawNode::Unplug() {
    std::unique_lock<std::mutex> lock(m_mu);
    m_plugged = false;
    ++m_generation;
    m_queue.clear();
    m_held.clear();
    std::error_code ec;
    fs::remove_all(fs::path(ClassDir()) / kNodeName, ec);
    WakePoller(lock);
}

void HidrawNode::Replug() {
    std::lock_guard<std::mutex> lock(m_mu);
    WriteClassEntry();
    m_plugged = true;
}

void HidrawNode::Kill() {
    StopServing();
    std::lock_guard<std::mutex> lock(m_mu);
    std::error_code ec;
    fs::remove_all(fs::path(ClassDir()) / kNodeName, ec);
}

std::vector<Bytes> HidrawNode::Written() {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_written;
}

size_t HidrawNode::Queued() {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_queue.size();
}

size_t HidrawNode::DescriptorIoctls() {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_descriptorIoctls;
}

} // namespace quillon::emu

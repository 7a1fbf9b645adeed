// A reader emulator on a pseudo-terminal: the engine of one family runs in a
// thread on the master side; the host opens the slave path as its serial
// port.
//
//   quillon::emu::Emulator emu(quillon::emu::Family::A);
//   std::string port = emu.Start();   // e.g. /dev/pts/7
//   emu.InsertCard();
//   ... run the library against `port` ...
//   auto commands = emu.Commands();   // what the reader received
//   emu.Stop();
//
// Every method may be called from any thread while the emulator runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"

namespace quillon::emu {

// Owns one file descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& o) noexcept : m_fd(o.Release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o)
            Reset(o.Release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    int Release() {
        int f = m_fd;
        m_fd = -1;
        return f;
    }
    void Reset(int fd = -1);

private:
    int m_fd;
};

class Emulator {
public:
    explicit Emulator(Family family, const Options& options = {});
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Opens the pseudo-terminal, starts serving and returns the slave path.
    // Throws std::system_error when no pseudo-terminal can be had.
    std::string Start();
    // Stops serving and closes the pseudo-terminal; safe to call twice.
    void Stop();
    const std::string& SlavePath() const { return m_slave; }

    // Runs f on the engine under the emulator's lock, for anything the
    // methods below do not cover.
    template <class F> auto With(F&& f) {
        std::lock_guard<std::mutex> lock(m_mu);
        return f(*m_engine);
    }

    // The card.
    void InsertCard(); // offer it at the gate; it goes in once entry is enabled
    // With Options::entryDelay kForever: the card waiting at the gate with
    // entry enabled goes in now. False when no entry was pending.
    bool LetCardIn();
    bool RemoveCard(); // take it from the gate; false when it is not there
    void PlaceCard(CardPosition p);
    CardPosition Position();
    void SetCard(const Card& card);

    // Faults.
    void Jam(bool on = true);
    void SetFaults(const Faults& f);       // the reader's
    void SetModuleFaults(const Faults& f); // family A's auxiliary module
    void SetModulePresent(bool present);   // family A
    void ForceReply(const std::string& command, char kind, const std::string& status,
                    int times = 1);

    // What happened.
    Counters GetCounters();
    Stats GetStats();
    std::vector<Received> Log();
    std::vector<std::string> Commands(); // texts of the reader's commands, in order
    void ClearLog();
    // Waits until the reader has received `count` commands in all (module
    // included); false if that did not happen within `timeout`.
    bool WaitForCommands(size_t count, std::chrono::milliseconds timeout);

    Millis Now() const;

private:
    void Run();
    void WriteAll(const Bytes& out);

    std::unique_ptr<Engine> m_engine;
    std::mutex m_mu;
    std::condition_variable m_fed; // the engine took bytes from the host
    std::chrono::steady_clock::time_point m_t0;
    Fd m_master, m_slaveHold, m_wakeRead, m_wakeWrite;
    std::string m_slave;
    std::thread m_thread;
};

} // namespace quillon::emu

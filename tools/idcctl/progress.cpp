#include "progress.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace idcctl {

void RunWithProgress(const std::string& label, bool draw, std::ostream& err,
                     const std::function<void()>& work) {
    if (!draw) {
        work();
        return;
    }
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_one();
    });

    const auto start = std::chrono::steady_clock::now();
    size_t drawn = 0;
    long shown = -1;
    {
        std::unique_lock<std::mutex> lock(m);
        while (!done) {
            const auto elapsed = std::chrono::steady_clock::now() - start;
            const long secs = static_cast<long>(
                std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
            // A call that is over at once draws nothing.
            if (secs != shown && elapsed >= std::chrono::milliseconds(300)) {
                const std::string line = label + "  " + std::to_string(secs) + " s";
                err << '\r' << line << std::flush;
                drawn = line.size();
                shown = secs;
            }
            cv.wait_for(lock, std::chrono::milliseconds(100));
        }
    }
    worker.join();
    if (drawn)
        err << '\r' << std::string(drawn, ' ') << '\r' << std::flush;
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace idcctl

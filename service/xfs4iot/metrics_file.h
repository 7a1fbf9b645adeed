// The metrics for hosts that scrape files (node_exporter's textfile
// collector): the text written now and then to a new file of a random name
// beside the target, then renamed over it, so that a reader never sees half
// a file and no link planted in the folder is followed. A folder anyone may
// write without the sticky bit is refused.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace quillon::xfs {

class OMetricsFile {
public:
    OMetricsFile(std::string sPath, int iIntervalS, std::function<std::string()> text);
    ~OMetricsFile();
    OMetricsFile(const OMetricsFile&) = delete;
    OMetricsFile& operator=(const OMetricsFile&) = delete;

    // Writes once; false with the reason.
    bool bWrite(std::string& sError);
    // Writes every interval until vStop, which writes a last time.
    void vStart();
    void vStop();

private:
    std::string m_sPath;
    int m_iIntervalS;
    std::function<std::string()> m_text;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bStopping = false;
    std::thread m_thread;
};

} // namespace quillon::xfs

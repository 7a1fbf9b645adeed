// What the service's HTTP listener does with a request: the WebSocket paths
// of the publisher and the service, and the plain HTTP requests: the
// metrics (GET /metrics), the technician's page (GET /) and the page's
// data (GET /status.json), all answered from memory.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon::xfs {

class OMetrics;

enum class Route { Publisher, Service, None };

struct tHttpAnswer {
    int iStatus = 404;
    std::string sContentType = "text/plain; charset=utf-8";
    std::string sBody;
    std::vector<std::pair<std::string, std::string>> headers;
};

class OHttpRoutes {
public:
    // Without metrics only the WebSocket paths are served. bPageActions:
    // the page shows its action buttons.
    explicit OHttpRoutes(std::string sServiceName, const OMetrics* pMetrics = nullptr,
                         bool bPageActions = false);

    // A WebSocket upgrade to this target reaches the publisher, the service or nothing.
    Route eWebSocket(std::string_view target) const;
    // A request without an upgrade.
    tHttpAnswer tAnswer(std::string_view method, std::string_view target) const;

    static constexpr const char* kPublisherPath = "/xfs4iot/v1.0";

private:
    std::string m_sServiceName;
    const OMetrics* m_pMetrics;
    std::string m_sPage;
};

// The page as built in (service/xfs4iot/page/index.html).
extern const char* const kTechnicianPage;

} // namespace quillon::xfs

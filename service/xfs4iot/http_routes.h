// What the service's HTTP listener does with a request: the WebSocket paths
// of the publisher and the service, and the one place where plain HTTP
// requests are answered (today: nothing is served, 404).
#pragma once

#include <string>
#include <string_view>

namespace quillon::xfs {

enum class Route { Publisher, Service, None };

struct tHttpAnswer {
    int iStatus = 404;
    std::string sContentType = "text/plain; charset=utf-8";
    std::string sBody;
};

class OHttpRoutes {
public:
    explicit OHttpRoutes(std::string sServiceName) : m_sServiceName(std::move(sServiceName)) {}

    // A WebSocket upgrade to this target reaches the publisher, the service or nothing.
    Route eWebSocket(std::string_view target) const;
    // A request without an upgrade.
    tHttpAnswer tAnswer(std::string_view method, std::string_view target) const;

    static constexpr const char* kPublisherPath = "/xfs4iot/v1.0";

private:
    std::string m_sServiceName;
};

} // namespace quillon::xfs

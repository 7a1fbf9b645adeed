// The network side: one HTTP listener (plain or TLS) on one thread. It
// upgrades the publisher's and the service's paths to WebSocket, answers
// other requests through OHttpRoutes, hands whole messages to OService and
// writes what OService sends. SIGTERM and SIGINT stop it cleanly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http_routes.h"
#include "service.h"

namespace quillon::xfs {

struct tServerOptions {
    std::string sAddress = "127.0.0.1";
    int iPort = -1; // -1: the first free of 5846..5856; 0: any free port
    std::string sServiceName = "CardReader1";
    std::string sTlsCert, sTlsKey;   // both or neither
    int iIdleTimeoutMs = 30000;      // a peer that answers no ping for this long is dropped
    int iHandshakeTimeoutMs = 10000; // TLS handshake and WebSocket upgrade must be done within this
    int iHeaderTimeoutMs = 5000;     // an HTTP request must be complete within this
    int iCloseTimeoutMs = 1000;      // a TLS peer has this long to answer the close
    size_t uiMaxConnections = 16;    // WebSocket clients
    size_t uiMaxUnreadBytes =
        1024 * 1024; // frames a client has not read yet: beyond, it is dropped
    // Web origins (scheme://host[:port], or "null") whose pages may use the
    // service as an application does; a browser on any other origin is
    // refused. Clients that name no origin (programs) are not browsers.
    std::vector<std::string> allowedOrigins;
    // Host names (beside the service's addresses and localhost) by which
    // browsers may reach the plain HTTP routes.
    std::vector<std::string> allowedHosts;
};

class OServer : public IOutbox {
public:
    explicit OServer(const tServerOptions& options);
    ~OServer() override;
    OServer(const OServer&) = delete;
    OServer& operator=(const OServer&) = delete;

    // Checks the options and binds the port; false with the reason.
    bool bListen(std::string& sError);
    // "ws://127.0.0.1:5846" and the like, once bound.
    std::string sBoundAt() const;
    // Serves until SIGTERM or SIGINT; then the service stops (its pending
    // commands complete as canceled), what is queued is written, and the
    // connections close. Returns the exit status.
    int iRun(OService& service, const OHttpRoutes& routes);

    void vSend(uint64_t uiConnection, std::string sText) override;

    struct tImpl;

private:
    std::unique_ptr<tImpl> m_p;
};

} // namespace quillon::xfs

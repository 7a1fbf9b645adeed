// What the listener's parts share: the server's state on the network
// thread, the socket budget, and the two kinds of session (the HTTP request
// before an upgrade, in http_session.cpp; the WebSocket, in server.cpp).
// Included by those two files only: Beast and Asio stay behind them.
#pragma once

#include <atomic>
#include <chrono>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http.hpp>

#include "byte_stream.h"
#include "server.h"
#include "tls.h"

namespace quillon::xfs {

namespace http = boost::beast::http;

// A socket that has not sent its whole request yet. When all
// kMaxWaitingSockets are taken, the one waiting longest is dropped for the
// newcomer: a client that sends its request at once always gets in.
constexpr size_t kMaxWaitingSockets = 32;
// Sockets answering (a scrape being written, a TLS close) beyond the
// WebSocket clients and those waiting: over this, a newcomer gets 503.
constexpr size_t kMaxAnsweringSockets = 32;

class ISession {
public:
    virtual ~ISession() = default;
    // Any thread: frames leave in the order they were pushed.
    virtual void vPush(std::string sText) = 0;
    virtual void vShutdown() = 0;
};

class IWaiting {
public:
    virtual ~IWaiting() = default;
    virtual void vDrop() = 0; // network thread: closes the socket
};

struct OServer::tImpl {
    tServerOptions opt;
    net::io_context ioc{1};
    net::signal_set signals{ioc, SIGTERM, SIGINT};
    tcp::acceptor acceptor{ioc};
    net::steady_timer tick{ioc};
    net::steady_timer drain{ioc};
    net::steady_timer acceptRetry{ioc};
    std::unique_ptr<ITls> pTls;
    OService* pService = nullptr;
    const OHttpRoutes* pRoutes = nullptr;
    std::atomic<size_t> uiSockets{0};    // every socket held
    std::atomic<size_t> uiWebSockets{0}; // upgraded ones
    std::atomic<bool> bStopping{false};
    // Network thread only: the sockets waiting for their request, oldest first.
    std::list<std::weak_ptr<IWaiting>> waiting;
    // Sessions by connection number, for frames from the worker thread.
    std::mutex mutex;
    std::map<uint64_t, std::weak_ptr<ISession>> sessions;

    void vAccept();
    void vStopAll();
    void vTick();
};

// One socket of the allowed number, given back when the last session that
// held the socket ends.
struct tSlot {
    OServer::tImpl* p = nullptr;
    explicit tSlot(OServer::tImpl* pImpl) : p(pImpl) { ++p->uiSockets; }
    ~tSlot() {
        // The last connection is closed: nothing left to wait for.
        if (--p->uiSockets == 0 && p->bStopping)
            net::post(p->ioc, [pImpl = p] { pImpl->drain.cancel(); });
    }
    tSlot(const tSlot&) = delete;
    tSlot& operator=(const tSlot&) = delete;
};

// http_session.cpp: serves one accepted socket up to its upgrade.
void StartHttpSession(OByteStream&& stream, OServer::tImpl& srv);

// server.cpp: the upgrade of a request that passed the checks.
void StartWebSocket(OByteStream&& stream, OServer::tImpl& srv, std::shared_ptr<tSlot> slot,
                    Endpoint e, std::string sUri, http::request<http::string_body> req);

} // namespace quillon::xfs

// Boost.Beast and Boost.Asio live in this file (and byte_stream.h) only.
#include "server.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <deque>
#include <map>
#include <mutex>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "byte_stream.h"
#include "log.h"
#include "tls.h"

namespace quillon::xfs {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {

// A message beyond this is not even read to its end: the connection closes.
constexpr size_t kHardMessageLimit = 1024 * 1024;
// What a client that does not read may have waiting before it is dropped.
constexpr size_t kMaxQueuedOut = 16 * 1024 * 1024;
constexpr int kFirstPort = 5846, kLastPort = 5856;
constexpr auto kTick = std::chrono::milliseconds(50);
constexpr auto kDrainTime = std::chrono::seconds(3);

class ISession {
public:
    virtual ~ISession() = default;
    // Any thread: frames leave in the order they were pushed.
    virtual void vPush(std::string sText) = 0;
    virtual void vShutdown() = 0;
};

} // namespace

struct OServer::tImpl {
    tServerOptions opt;
    net::io_context ioc{1};
    net::signal_set signals{ioc, SIGTERM, SIGINT};
    tcp::acceptor acceptor{ioc};
    net::steady_timer tick{ioc};
    net::steady_timer drain{ioc};
    std::unique_ptr<ITls> pTls;
    OService* pService = nullptr;
    const OHttpRoutes* pRoutes = nullptr;
    std::atomic<size_t> uiSockets{0};
    std::atomic<bool> bStopping{false};
    // Sessions by connection number, for frames from the worker thread.
    std::mutex mutex;
    std::map<uint64_t, std::weak_ptr<ISession>> sessions;

    void vAccept();
    void vStopAll();
    void vTick();
};

namespace {

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

bool bSaneHost(const std::string& s) {
    if (s.empty() || s.size() > 255)
        return false;
    for (unsigned char c : s)
        if (!(std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']'))
            return false;
    return true;
}

// An IP address with an optional port ("127.0.0.1:5846", "[::1]:5846"), or
// localhost: a host no DNS answer can point elsewhere.
bool bAddressHost(const std::string& s) {
    if (!bSaneHost(s))
        return false;
    std::string h = s;
    if (!h.empty() && h.front() == '[') {
        const size_t e = h.find(']');
        if (e == std::string::npos)
            return false;
        h = h.substr(1, e - 1);
    } else if (std::count(h.begin(), h.end(), ':') == 1) {
        h = h.substr(0, h.find(':'));
    }
    ErrorCode ec;
    boost::asio::ip::make_address(h, ec);
    return !ec || h == "localhost";
}

bool bSaneOrigin(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return c > 0x20 && c < 0x7f; });
}

class OWsSession : public ISession, public std::enable_shared_from_this<OWsSession> {
public:
    OWsSession(OByteStream&& stream, OServer::tImpl& srv, std::shared_ptr<tSlot> slot, Endpoint e,
               std::string sUri)
        : m_ws(std::move(stream)), m_srv(srv), m_slot(std::move(slot)), m_eEndpoint(e),
          m_sUri(std::move(sUri)) {}

    void vStart(http::request<http::string_body> req) {
        m_req = std::move(req);
        websocket::stream_base::timeout t{};
        t.handshake_timeout = std::chrono::milliseconds(m_srv.opt.iHandshakeTimeoutMs);
        t.idle_timeout = std::chrono::milliseconds(m_srv.opt.iIdleTimeoutMs);
        t.keep_alive_pings = true; // a live client answers; a dead one is dropped
        m_ws.set_option(t);
        m_ws.read_message_max(kHardMessageLimit);
        m_ws.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
            res.set(http::field::server, "quillon-xfs4iot");
        }));
        m_ws.async_accept(m_req, [self = shared_from_this()](ErrorCode ec) {
            if (ec)
                return;
            self->m_uiId = self->m_srv.pService->uiOpen(self->m_eEndpoint, self->m_sUri);
            {
                std::lock_guard<std::mutex> lock(self->m_srv.mutex);
                self->m_srv.sessions[self->m_uiId] = self;
            }
            self->vRead();
        });
    }

    void vPush(std::string sText) override {
        std::lock_guard<std::mutex> lock(m_outMutex);
        if (m_bClosing)
            return;
        m_uiQueued += sText.size();
        if (m_uiQueued > kMaxQueuedOut) {
            // The client reads nothing: it is dropped rather than fed forever.
            m_bClosing = true;
            m_out.clear();
            net::post(m_srv.ioc, [self = shared_from_this()] {
                QLOG_WARN("connection %llu reads nothing: dropped",
                          static_cast<unsigned long long>(self->m_uiId));
                beast_close_socket(self->m_ws.next_layer());
            });
            return;
        }
        m_out.push_back(std::move(sText));
        if (!m_bWriting && !m_bKicked) {
            m_bKicked = true;
            net::post(m_srv.ioc, [self = shared_from_this()] { self->vKick(); });
        }
    }

    void vShutdown() override {
        std::lock_guard<std::mutex> lock(m_outMutex);
        m_bShutdown = true;
        if (!m_bWriting && m_out.empty())
            vCloseLocked();
    }

private:
    void vRead() {
        m_ws.async_read_some(m_in, 16 * 1024, [self = shared_from_this()](ErrorCode ec, size_t) {
            self->vOnRead(ec);
        });
    }

    void vOnRead(ErrorCode ec) {
        if (ec) {
            // Closed, timed out, or a message beyond the hard limit.
            if (ec != websocket::error::closed && ec != net::error::operation_aborted)
                QLOG_INFO("connection %llu ends: %s", static_cast<unsigned long long>(m_uiId),
                          ec.message().c_str());
            vEnd();
            return;
        }
        const size_t n = m_in.size();
        if (!m_bOversized && m_message.size() + n > kMaxMessageBytes) {
            m_bOversized = true; // read to its end and thrown away
            m_message.clear();
        }
        if (!m_bOversized)
            m_message.append(static_cast<const char*>(m_in.data().data()), n);
        m_in.consume(n);
        if (m_ws.is_message_done()) {
            const FrameKind e = m_bOversized        ? FrameKind::Oversized
                                : m_ws.got_binary() ? FrameKind::Binary
                                                    : FrameKind::Text;
            m_srv.pService->vReceive(m_uiId, m_message, e);
            m_message.clear();
            m_bOversized = false;
        }
        vRead();
    }

    // The connection is over: the service forgets it. (Not in the destructor:
    // the last holder of a session may be the worker thread.)
    void vEnd() {
        if (!m_uiId)
            return;
        {
            std::lock_guard<std::mutex> lock(m_srv.mutex);
            m_srv.sessions.erase(m_uiId);
        }
        if (m_srv.pService)
            m_srv.pService->vClose(m_uiId);
        m_uiId = 0;
    }

    // Network thread: starts writing what was pushed.
    void vKick() {
        std::lock_guard<std::mutex> lock(m_outMutex);
        m_bKicked = false;
        if (!m_bWriting && !m_out.empty() && !m_bClosing)
            vWriteLocked();
    }

    void vWriteLocked() {
        m_bWriting = true;
        m_ws.text(true);
        m_ws.async_write(net::buffer(m_out.front()),
                         [self = shared_from_this()](ErrorCode ec, size_t) {
                             std::lock_guard<std::mutex> lock(self->m_outMutex);
                             self->m_bWriting = false;
                             if (ec) {
                                 self->m_bClosing = true;
                                 self->m_out.clear();
                                 return;
                             }
                             self->m_uiQueued -= self->m_out.front().size();
                             self->m_out.pop_front();
                             if (!self->m_out.empty())
                                 self->vWriteLocked();
                             else if (self->m_bShutdown)
                                 self->vCloseLocked();
                         });
    }

    void vCloseLocked() {
        if (m_bClosing)
            return;
        m_bClosing = true;
        m_ws.async_close(websocket::close_code::going_away,
                         [self = shared_from_this()](ErrorCode) {});
    }

    websocket::stream<OByteStream> m_ws;
    http::request<http::string_body> m_req;
    OServer::tImpl& m_srv;
    std::shared_ptr<tSlot> m_slot;
    Endpoint m_eEndpoint;
    std::string m_sUri;
    uint64_t m_uiId = 0;
    beast::flat_buffer m_in;
    std::string m_message;
    bool m_bOversized = false;
    std::mutex m_outMutex; // the frames waiting, pushed from any thread
    std::deque<std::string> m_out;
    size_t m_uiQueued = 0;
    bool m_bWriting = false, m_bKicked = false, m_bClosing = false, m_bShutdown = false;
};

// The HTTP request before an upgrade (after the TLS handshake with TLS).
class OHttpSession : public std::enable_shared_from_this<OHttpSession> {
public:
    OHttpSession(OByteStream&& stream, OServer::tImpl& srv)
        : m_stream(std::move(stream)), m_srv(srv), m_slot(std::make_shared<tSlot>(&srv)),
          m_timer(srv.ioc) {
        m_parser.header_limit(8 * 1024);
        m_parser.body_limit(8 * 1024);
    }

    void vStart() {
        // The TLS handshake and the request must be done in time.
        m_timer.expires_after(std::chrono::milliseconds(m_srv.opt.iHandshakeTimeoutMs));
        m_timer.async_wait([self = shared_from_this()](ErrorCode ec) {
            if (!ec)
                beast_close_socket(self->m_stream);
        });
        m_stream.vHandshake([self = shared_from_this()](ErrorCode ec) {
            if (!ec)
                self->vRead();
        });
    }

private:
    void vRead() {
        http::async_read(m_stream, m_buffer, m_parser,
                         [self = shared_from_this()](ErrorCode ec, size_t) {
                             if (!ec)
                                 self->vOnRequest();
                         });
    }

    void vOnRequest() {
        http::request<http::string_body> req = m_parser.release();
        const std::string target(req.target());
        if (websocket::is_upgrade(req)) {
            const Route eRoute = m_srv.pRoutes->eWebSocket(target);
            if (eRoute != Route::None) {
                if (m_srv.uiSockets > m_srv.opt.uiMaxConnections)
                    return vRespond({503, "text/plain", "too many connections\n", {}},
                                    req.version());
                const std::string sHost(req[http::field::host]);
                const std::string sBase = std::string(m_srv.pTls ? "wss://" : "ws://") +
                                          (bSaneHost(sHost) ? sHost : sLocalAuthority()) +
                                          OHttpRoutes::kPublisherPath + "/" +
                                          m_srv.opt.sServiceName;
                // A browser names the page it runs in. The service's own page
                // (reached by an address, so that no name can be pointed at the
                // kiosk afterwards) gets a page's connection; a listed origin
                // an application's; any other page is refused: a web site in
                // the kiosk's browser must not reach the reader.
                const std::string sOrigin(req[http::field::origin]);
                const bool bOwn = !sOrigin.empty() && bAddressHost(sHost) &&
                                  sOrigin == (m_srv.pTls ? "https://" : "http://") + sHost;
                if (!sOrigin.empty() && !bOwn &&
                    std::find(m_srv.opt.allowedOrigins.begin(), m_srv.opt.allowedOrigins.end(),
                              sOrigin) == m_srv.opt.allowedOrigins.end()) {
                    QLOG_WARN("refused a WebSocket from the web origin %.100s",
                              bSaneOrigin(sOrigin) ? sOrigin.c_str() : "(unreadable)");
                    return vRespond({403, "text/plain", "origin not allowed\n", {}}, req.version());
                }
                const bool bPage = eRoute == Route::Service && bOwn;
                m_timer.cancel();
                std::make_shared<OWsSession>(std::move(m_stream), m_srv, m_slot,
                                             eRoute == Route::Publisher ? Endpoint::Publisher
                                             : bPage                    ? Endpoint::Page
                                                                        : Endpoint::Service,
                                             sBase)
                    ->vStart(std::move(req));
                return;
            }
            tHttpAnswer a;
            a.sBody = "not found\n";
            return vRespond(a, req.version());
        }
        tHttpAnswer a = m_srv.pRoutes->tAnswer(std::string(req.method_string()), target);
        if (req.method() == http::verb::head)
            a.sBody.clear();
        vRespond(a, req.version());
    }

    std::string sLocalAuthority() {
        ErrorCode ec;
        const tcp::endpoint ep = m_stream.socket().local_endpoint(ec);
        const std::string sAddress = ep.address().to_string();
        return (ep.address().is_v6() ? "[" + sAddress + "]" : sAddress) + ":" +
               std::to_string(ep.port());
    }

    void vRespond(const tHttpAnswer& a, unsigned uVersion) {
        m_response.result(static_cast<http::status>(a.iStatus));
        m_response.version(uVersion);
        m_response.set(http::field::server, "quillon-xfs4iot");
        m_response.set(http::field::content_type, a.sContentType);
        for (const auto& h : a.headers)
            m_response.set(h.first, h.second);
        m_response.keep_alive(false);
        m_response.body() = a.sBody;
        m_response.prepare_payload();
        http::async_write(m_stream, m_response, [self = shared_from_this()](ErrorCode, size_t) {
            self->m_timer.cancel();
            self->m_stream.vShutdown([self](ErrorCode) {});
        });
    }

    OByteStream m_stream;
    OServer::tImpl& m_srv;
    std::shared_ptr<tSlot> m_slot;
    net::steady_timer m_timer;
    beast::flat_buffer m_buffer;
    http::request_parser<http::string_body> m_parser;
    http::response<http::string_body> m_response;
};

} // namespace

void OServer::tImpl::vAccept() {
    acceptor.async_accept([this](ErrorCode ec, tcp::socket socket) {
        if (ec || bStopping)
            return;
        if (uiSockets >= opt.uiMaxConnections + 1) {
            // Over the limit and one more to say so: refused without a word.
            ErrorCode ignored;
            socket.close(ignored);
        } else {
            // Frames are small and answer at once: no waiting for a full segment.
            ErrorCode ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            const auto ex = ioc.get_executor();
            std::unique_ptr<OByteStream::IImpl> p;
            if (pTls)
                p = pTls->pStream(std::move(socket));
            else
                p = std::make_unique<OTcpImpl>(std::move(socket));
            std::make_shared<OHttpSession>(OByteStream(ex, std::move(p)), *this)->vStart();
        }
        vAccept();
    });
}

void OServer::tImpl::vTick() {
    tick.expires_after(kTick);
    tick.async_wait([this](ErrorCode ec) {
        if (ec || bStopping)
            return;
        pService->vExpire();
        vTick();
    });
}

void OServer::tImpl::vStopAll() {
    bStopping = true;
    ErrorCode ignored;
    acceptor.close(ignored);
    tick.cancel();
    // Pending commands complete (as canceled); their frames are queued before
    // the closing handshakes below.
    pService->vStop();
    std::vector<std::shared_ptr<ISession>> open;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& s : sessions)
            if (auto p = s.second.lock())
                open.push_back(p);
    }
    for (auto& p : open)
        net::post(ioc, [p] { p->vShutdown(); });
    if (uiSockets == 0)
        return;
    drain.expires_after(kDrainTime);
    drain.async_wait([this](ErrorCode ec) {
        if (!ec)
            ioc.stop();
    });
}

OServer::OServer(const tServerOptions& options) : m_p(std::make_unique<tImpl>()) {
    m_p->opt = options;
}

OServer::~OServer() = default;

bool OServer::bListen(std::string& sError) {
    tImpl& p = *m_p;
    ErrorCode ec;
    const net::ip::address address = net::ip::make_address(p.opt.sAddress, ec);
    if (ec) {
        sError = "--address " + p.opt.sAddress + " is no IP address";
        return false;
    }
    if (p.opt.sTlsCert.empty() != p.opt.sTlsKey.empty()) {
        sError = "--tls-cert and --tls-key go together";
        return false;
    }
    if (!address.is_loopback() && p.opt.sTlsCert.empty()) {
        sError = "refusing to serve " + p.opt.sAddress +
                 " without TLS: card data would cross the network in clear (give --tls-cert "
                 "and --tls-key, or keep --address 127.0.0.1)";
        return false;
    }
    if (!p.opt.sTlsCert.empty()) {
        p.pTls = TlsServer(p.opt.sTlsCert, p.opt.sTlsKey, sError);
        if (!p.pTls)
            return false;
    }
    const int iFirst = p.opt.iPort >= 0 ? p.opt.iPort : kFirstPort;
    const int iLast = p.opt.iPort >= 0 ? p.opt.iPort : kLastPort;
    for (int iPort = iFirst; iPort <= iLast; ++iPort) {
        const tcp::endpoint ep(address, static_cast<unsigned short>(iPort));
        p.acceptor.close(ec);
        p.acceptor.open(ep.protocol(), ec);
        if (!ec)
            p.acceptor.set_option(net::socket_base::reuse_address(true), ec);
        if (!ec)
            p.acceptor.bind(ep, ec);
        if (!ec)
            p.acceptor.listen(net::socket_base::max_listen_connections, ec);
        if (!ec)
            return true;
        sError = "cannot listen on " + p.opt.sAddress + " port " + std::to_string(iPort) + ": " +
                 ec.message();
    }
    if (p.opt.iPort < 0)
        sError = "no free port among 5846-5856 on " + p.opt.sAddress + " (" + sError + ")";
    p.acceptor.close(ec);
    return false;
}

std::string OServer::sBoundAt() const {
    ErrorCode ec;
    const tcp::endpoint ep = m_p->acceptor.local_endpoint(ec);
    const std::string sAddress = ep.address().to_string();
    return std::string(m_p->pTls ? "wss://" : "ws://") +
           (ep.address().is_v6() ? "[" + sAddress + "]" : sAddress) + ":" +
           std::to_string(ep.port());
}

int OServer::iRun(OService& service, const OHttpRoutes& routes) {
    tImpl& p = *m_p;
    p.pService = &service;
    p.pRoutes = &routes;
    p.signals.async_wait([&p](ErrorCode ec, int iSignal) {
        if (ec)
            return;
        QLOG_INFO("signal %d: stopping", iSignal);
        p.vStopAll();
    });
    p.vAccept();
    p.vTick();
    p.ioc.run();
    service.vStop();      // also when the loop ended some other way
    p.pService = nullptr; // sessions still held by the loop end without it
    return 0;
}

void OServer::vSend(uint64_t uiConnection, std::string sText) {
    std::shared_ptr<ISession> p;
    {
        std::lock_guard<std::mutex> lock(m_p->mutex);
        const auto it = m_p->sessions.find(uiConnection);
        if (it == m_p->sessions.end())
            return;
        p = it->second.lock();
    }
    if (p)
        p->vPush(std::move(sText));
}

} // namespace quillon::xfs

// Boost.Beast and Boost.Asio live in this file, http_session.cpp and
// byte_stream.h only. The acceptor and the socket budget, the WebSocket
// sessions, listening and stopping.
#include "server.h"

#include <algorithm>
#include <csignal>
#include <deque>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "give_back.h"
#include "log.h"
#include "server_impl.h"

namespace quillon::xfs {

namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {

// A message beyond this is not even read to its end: the connection closes.
constexpr size_t kHardMessageLimit = 1024 * 1024;
constexpr int kFirstPort = 5846, kLastPort = 5856;
constexpr auto kTick = std::chrono::milliseconds(50);
constexpr auto kDrainTime = std::chrono::seconds(3);
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

class OWsSession : public ISession, public std::enable_shared_from_this<OWsSession> {
public:
    OWsSession(OByteStream&& stream, OServer::tImpl& srv, std::shared_ptr<tSlot> slot, Endpoint e,
               std::string sUri)
        : m_ws(std::move(stream)), m_srv(srv), m_slot(std::move(slot)), m_eEndpoint(e),
          m_sUri(std::move(sUri)) {
        ++m_srv.uiWebSockets;
    }
    ~OWsSession() override { --m_srv.uiWebSockets; }
    OWsSession(const OWsSession&) = delete;
    OWsSession& operator=(const OWsSession&) = delete;

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
        std::unique_lock<std::mutex> lock(m_outMutex);
        if (m_bClosing)
            return;
        m_uiQueued += sText.size();
        if (m_uiQueued > m_srv.opt.uiMaxUnreadBytes) {
            // The client reads nothing: it is dropped rather than fed forever.
            // A frame being written stays until its write ends: the write
            // reads from it.
            m_bClosing = true;
            m_out.erase(m_out.begin() + (m_bWriting && !m_out.empty() ? 1 : 0), m_out.end());
            net::post(m_srv.ioc, [self = shared_from_this()] {
                QLOG_WARN("connection %llu reads nothing: dropped",
                          static_cast<unsigned long long>(self->m_uiId));
                beast_close_socket(self->m_ws.next_layer());
            });
            return;
        }
        sText.shrink_to_fit(); // what waits is what was counted, not what the text grew into
        m_out.push_back(std::move(sText));
        // On the network thread the write starts here, or, for the frames a
        // received frame is answered with (acknowledge and completion), once
        // all of them are queued; from the worker it is handed over.
        if (m_srv.ioc.get_executor().running_in_this_thread()) {
            if (!m_bWriting && !m_bKicked && !m_bReceiving)
                vWriteLocked();
            return;
        }
        if (!m_bWriting && !m_bKicked) {
            m_bKicked = true;
            lock.unlock(); // the network thread, woken, takes it at once
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
            m_bReceiving = true;
            m_srv.pService->vReceive(m_uiId, m_message, e);
            vEndReceiving();
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

    // Network thread: what the frame received was answered with leaves.
    void vEndReceiving() {
        std::lock_guard<std::mutex> lock(m_outMutex);
        m_bReceiving = false;
        if (!m_bWriting && !m_bKicked && !m_out.empty() && !m_bClosing)
            vWriteLocked();
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
        // A frame with another behind it (acknowledge, then completion)
        // leaves in one segment with it: the client wakes once.
        if (m_out.size() > 1)
            m_ws.next_layer().vMoreFollows();
        m_ws.async_write(net::buffer(m_out.front()),
                         [self = shared_from_this()](ErrorCode ec, size_t) {
                             std::lock_guard<std::mutex> lock(self->m_outMutex);
                             self->m_bWriting = false;
                             if (ec || self->m_bClosing) { // failed, or dropped meanwhile
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

    // What a client that read nothing had queued goes back to the system
    // once the members below are freed.
    tGiveBackAtEnd m_giveBack;
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
    bool m_bReceiving = false; // network thread: inside the service's vReceive
};

// Over every budget: told so in one write that cannot block, then closed
// (what the client sent is read first, or the close would reset the answer away).
void vRefuseBusy(tcp::socket& socket) {
    static constexpr char kBusy[] = "HTTP/1.1 503 Service Unavailable\r\n"
                                    "Content-Type: text/plain\r\nContent-Length: 21\r\n"
                                    "Connection: close\r\n\r\ntoo many connections\n";
    ErrorCode ec;
    socket.non_blocking(true, ec);
    socket.write_some(net::buffer(kBusy, sizeof kBusy - 1), ec);
    socket.shutdown(tcp::socket::shutdown_send, ec);
    char buf[4096];
    while (!ec)
        socket.read_some(net::buffer(buf), ec);
    socket.close(ec);
}

} // namespace

void OServer::tImpl::vAccept() {
    acceptor.async_accept([this](ErrorCode ec, tcp::socket socket) {
        if (bStopping || ec == net::error::operation_aborted)
            return;
        if (ec) { // out of descriptors, say: the listener tries again shortly
            acceptRetry.expires_after(kAcceptRetry);
            acceptRetry.async_wait([this](ErrorCode e) {
                if (!e && !bStopping)
                    vAccept();
            });
            return;
        }
        if (uiSockets >= opt.uiMaxConnections + kMaxWaitingSockets + kMaxAnsweringSockets) {
            vRefuseBusy(socket);
        } else {
            // Frames are small and answer at once: no waiting for a full segment.
            ErrorCode ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            std::unique_ptr<OByteStream::IImpl> p;
            if (pTls)
                p = pTls->pStream(std::move(socket),
                                  std::chrono::milliseconds(opt.iCloseTimeoutMs));
            else
                p = std::make_unique<OTcpImpl>(std::move(socket));
            StartHttpSession(OByteStream(ioc.get_executor(), std::move(p)), *this);
        }
        vAccept();
    });
}

void StartWebSocket(OByteStream&& stream, OServer::tImpl& srv, std::shared_ptr<tSlot> slot,
                    Endpoint e, std::string sUri, http::request<http::string_body> req) {
    std::make_shared<OWsSession>(std::move(stream), srv, std::move(slot), e, std::move(sUri))
        ->vStart(std::move(req));
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
    acceptRetry.cancel();
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

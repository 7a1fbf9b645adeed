// The HTTP request before an upgrade (after the TLS handshake with TLS):
// read within the header deadline or the socket is closed, answered and
// closed, or handed on as a WebSocket. A client that goes away, or sends
// what cannot be read, is let go at once: a socket is a budget.
#include <algorithm>
#include <cctype>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "log.h"
#include "server_impl.h"

namespace quillon::xfs {

namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {

constexpr size_t kHeaderLimit = 8 * 1024, kBodyLimit = 8 * 1024;

bool bSaneHost(const std::string& s) {
    if (s.empty() || s.size() > 255)
        return false;
    for (unsigned char c : s)
        if (!(std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']'))
            return false;
    return true;
}

// The host of a Host header without its port ("[::1]:5846" → "::1").
std::string HostPart(const std::string& s) {
    if (!s.empty() && s.front() == '[') {
        const size_t e = s.find(']');
        return e == std::string::npos ? std::string() : s.substr(1, e - 1);
    }
    return std::count(s.begin(), s.end(), ':') == 1 ? s.substr(0, s.find(':')) : s;
}

// An IP address with an optional port ("127.0.0.1:5846", "[::1]:5846"), or
// localhost: a host no DNS answer can point elsewhere.
bool bAddressHost(const std::string& s) {
    if (!bSaneHost(s))
        return false;
    const std::string h = HostPart(s);
    ErrorCode ec;
    boost::asio::ip::make_address(h, ec);
    return !ec || h == "localhost";
}

bool bSameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A name a web site's DNS can point at the kiosk (rebinding) reaches
// nothing; the operator may list the names the kiosk really has.
bool bHostAllowed(const std::string& sHost, const std::vector<std::string>& listed) {
    if (bAddressHost(sHost))
        return true;
    const std::string h = bSaneHost(sHost) ? HostPart(sHost) : std::string();
    return !h.empty() && std::any_of(listed.begin(), listed.end(),
                                     [&h](const std::string& s) { return bSameText(s, h); });
}

bool bSaneOrigin(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return c > 0x20 && c < 0x7f; });
}

// What a request that could not be read is answered; 0: the client went
// away or the socket was closed, nothing to say.
tHttpAnswer tReadError(ErrorCode ec) {
    tHttpAnswer a;
    a.iStatus = 0;
    if (ec == http::error::header_limit) {
        a.iStatus = 431;
        a.sBody = "request header too large\n";
    } else if (ec == http::error::body_limit) {
        a.iStatus = 413;
        a.sBody = "request body too large\n";
    } else if (ec != http::error::end_of_stream && ec != http::error::partial_message &&
               ec.category() == http::make_error_code(http::error::bad_method).category()) {
        a.iStatus = 400;
        a.sBody = "malformed request\n";
    }
    return a;
}

tHttpAnswer tPlain(int iStatus, const char* pBody) {
    tHttpAnswer a;
    a.iStatus = iStatus;
    a.sBody = pBody;
    return a;
}

class OHttpSession : public IWaiting, public std::enable_shared_from_this<OHttpSession> {
public:
    OHttpSession(OByteStream&& stream, OServer::tImpl& srv)
        : m_stream(std::move(stream)), m_srv(srv), m_slot(std::make_shared<tSlot>(&srv)),
          m_timer(srv.ioc) {
        m_parser.header_limit(kHeaderLimit);
        m_parser.body_limit(kBodyLimit);
    }

    void vStart() {
        m_srv.waiting.push_back(weak_from_this());
        m_itWaiting = std::prev(m_srv.waiting.end());
        m_bWaiting = true;
        // The TLS handshake in its time, then the request within the header deadline.
        vArm(m_srv.pTls ? m_srv.opt.iHandshakeTimeoutMs : iRequestMs());
        m_stream.vHandshake([self = shared_from_this()](ErrorCode ec) {
            if (ec)
                return self->vClose();
            if (self->m_srv.pTls)
                self->vArm(self->iRequestMs());
            self->vRead();
        });
    }

    void vDrop() override { vClose(); }

private:
    // The request (and later the answer) must be done within the header
    // deadline, and never later than the upgrade would have to be.
    int iRequestMs() const {
        return std::min(m_srv.opt.iHeaderTimeoutMs, m_srv.opt.iHandshakeTimeoutMs);
    }

    // The socket closes when the time is up, whatever is under way.
    void vArm(int iMs) {
        m_timer.expires_after(std::chrono::milliseconds(iMs));
        m_timer.async_wait([self = shared_from_this()](ErrorCode ec) {
            if (!ec)
                self->vClose();
        });
    }

    void vLeaveWaiting() {
        if (m_bWaiting)
            m_srv.waiting.erase(m_itWaiting);
        m_bWaiting = false;
    }

    void vClose() {
        vLeaveWaiting();
        m_timer.cancel();
        beast_close_socket(m_stream);
    }

    void vRead() {
        http::async_read(m_stream, m_buffer, m_parser,
                         [self = shared_from_this()](ErrorCode ec, size_t) {
                             self->vLeaveWaiting();
                             if (!ec)
                                 return self->vOnRequest();
                             const tHttpAnswer a = tReadError(ec);
                             if (a.iStatus == 0)
                                 return self->vClose();
                             self->vRespond(a, 11, false);
                         });
    }

    void vOnRequest() {
        http::request<http::string_body> req = m_parser.release();
        const std::string target(req.target());
        const std::string sHost(req[http::field::host]);
        if (!websocket::is_upgrade(req)) {
            if (!bHostAllowed(sHost, m_srv.opt.allowedHosts))
                return vRespond(tPlain(403, "host not allowed\n"), req.version(), false);
            const bool bHead = req.method() == http::verb::head;
            return vRespond(m_srv.pRoutes->tAnswer(std::string(req.method_string()), target),
                            req.version(), bHead);
        }
        const Route eRoute = m_srv.pRoutes->eWebSocket(target);
        if (eRoute == Route::None)
            return vRespond(tPlain(404, "not found\n"), req.version(), false);
        if (m_srv.uiWebSockets >= m_srv.opt.uiMaxConnections)
            return vRespond(tPlain(503, "too many connections\n"), req.version(), false);
        const std::string sBase = std::string(m_srv.pTls ? "wss://" : "ws://") +
                                  (bSaneHost(sHost) ? sHost : sLocalAuthority()) +
                                  OHttpRoutes::kPublisherPath + "/" + m_srv.opt.sServiceName;
        // A browser names the page it runs in. The service's own page
        // (reached by an address, so that no name can be pointed at the
        // kiosk afterwards) gets a page's connection; a listed origin an
        // application's; any other page is refused: a web site in the
        // kiosk's browser must not reach the reader.
        const std::string sOrigin(req[http::field::origin]);
        const bool bOwn = !sOrigin.empty() && bAddressHost(sHost) &&
                          sOrigin == (m_srv.pTls ? "https://" : "http://") + sHost;
        const auto& listed = m_srv.opt.allowedOrigins;
        if (!sOrigin.empty() && !bOwn &&
            std::find(listed.begin(), listed.end(), sOrigin) == listed.end()) {
            QLOG_WARN("refused a WebSocket from the web origin %.100s",
                      bSaneOrigin(sOrigin) ? sOrigin.c_str() : "(unreadable)");
            return vRespond(tPlain(403, "origin not allowed\n"), req.version(), false);
        }
        const bool bPage = eRoute == Route::Service && bOwn;
        m_timer.cancel(); // the WebSocket's own time-outs take over
        StartWebSocket(std::move(m_stream), m_srv, m_slot,
                       eRoute == Route::Publisher ? Endpoint::Publisher
                       : bPage                    ? Endpoint::Page
                                                  : Endpoint::Service,
                       sBase, std::move(req));
    }

    std::string sLocalAuthority() {
        ErrorCode ec;
        const tcp::endpoint ep = m_stream.socket().local_endpoint(ec);
        const std::string sAddress = ep.address().to_string();
        return (ep.address().is_v6() ? "[" + sAddress + "]" : sAddress) + ":" +
               std::to_string(ep.port());
    }

    // Answers and closes; the answer must leave within the header deadline
    // too. HEAD: the length the GET would send, no body.
    void vRespond(const tHttpAnswer& a, unsigned uVersion, bool bHead) {
        vArm(iRequestMs());
        m_response.result(static_cast<http::status>(a.iStatus));
        m_response.version(uVersion);
        m_response.set(http::field::server, "quillon-xfs4iot");
        m_response.set(http::field::content_type, a.sContentType);
        for (const auto& h : a.headers)
            m_response.set(h.first, h.second);
        m_response.keep_alive(false);
        m_response.body() = bHead ? std::string() : a.sBody;
        m_response.prepare_payload();
        if (bHead)
            m_response.content_length(a.sBody.size());
        http::async_write(m_stream, m_response, [self = shared_from_this()](ErrorCode, size_t) {
            // A TLS close has a deadline of its own as well.
            self->m_stream.vShutdown([self](ErrorCode) { self->m_timer.cancel(); });
        });
    }

    OByteStream m_stream;
    OServer::tImpl& m_srv;
    std::shared_ptr<tSlot> m_slot;
    net::steady_timer m_timer;
    std::list<std::weak_ptr<IWaiting>>::iterator m_itWaiting;
    bool m_bWaiting = false;
    beast::flat_buffer m_buffer;
    http::request_parser<http::string_body> m_parser;
    http::response<http::string_body> m_response;
};

} // namespace

void StartHttpSession(OByteStream&& stream, OServer::tImpl& srv) {
    // All waiting sockets taken: the one that has waited longest goes.
    auto& waiting = srv.waiting;
    waiting.remove_if([](const std::weak_ptr<IWaiting>& w) { return w.expired(); });
    if (waiting.size() >= kMaxWaitingSockets)
        if (const std::shared_ptr<IWaiting> p = waiting.front().lock())
            p->vDrop(); // leaves the list
    std::make_shared<OHttpSession>(std::move(stream), srv)->vStart();
}

} // namespace quillon::xfs

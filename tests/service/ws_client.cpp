#include "ws_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// A blocking socket whose reads give up after the receive time-out (Asio's
// own would wait on): what a plain client does, one system call a read.
class OTimedSocket : public tcp::socket {
public:
    using tcp::socket::socket;

    void vTimeout(int iMs) {
        if (iMs == m_iMs)
            return;
        const timeval t{iMs / 1000, iMs % 1000 * 1000};
        setsockopt(native_handle(), SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
        m_iMs = iMs;
    }
    template <class Buffers> size_t read_some(const Buffers& buffers, beast::error_code& ec) {
        const net::mutable_buffer b = *net::buffer_sequence_begin(buffers);
        ssize_t n;
        do
            n = recv(native_handle(), b.data(), b.size(), 0);
        while (n < 0 && errno == EINTR);
        if (n > 0) {
            ec = {};
            return static_cast<size_t>(n);
        }
        ec = n == 0 ? beast::error_code(net::error::eof)
             : errno == EAGAIN || errno == EWOULDBLOCK
                 ? beast::error_code(net::error::timed_out)
                 : beast::error_code(errno, beast::system_category());
        return 0;
    }
    template <class Buffers> size_t read_some(const Buffers& buffers) {
        beast::error_code ec;
        const size_t n = read_some(buffers, ec);
        if (ec)
            throw beast::system_error(ec);
        return n;
    }

private:
    int m_iMs = 0;
};

// Beast ends a connection on it as on any TCP socket.
void teardown(beast::role_type role, OTimedSocket& s, beast::error_code& ec) {
    beast::websocket::teardown(role, static_cast<tcp::socket&>(s), ec);
}
template <class Handler>
void async_teardown(beast::role_type role, OTimedSocket& s, Handler&& handler) {
    beast::websocket::async_teardown(role, static_cast<tcp::socket&>(s),
                                     std::forward<Handler>(handler));
}

} // namespace

struct OWsClient::tImpl {
    net::io_context ioc;
    beast::websocket::stream<OTimedSocket> ws{ioc};
    beast::flat_buffer buffer;
};

OWsClient::OWsClient() : m_p(std::make_unique<tImpl>()) {}
OWsClient::~OWsClient() = default;

bool OWsClient::bConnect(int iPort, const std::string& sPath, const std::string& sOrigin,
                         int iReceiveBuffer) {
    beast::error_code ec;
    m_p->ws.next_layer().open(tcp::v4(), ec);
    if (iReceiveBuffer > 0)
        m_p->ws.next_layer().set_option(net::socket_base::receive_buffer_size(iReceiveBuffer), ec);
    m_p->ws.next_layer().connect(
        tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(iPort)), ec);
    beast::websocket::response_type res;
    if (!ec)
        m_p->ws.next_layer().set_option(tcp::no_delay(true), ec);
    if (!sOrigin.empty())
        m_p->ws.set_option(beast::websocket::stream_base::decorator(
            [sOrigin](beast::websocket::request_type& req) {
                req.set(beast::http::field::origin, sOrigin);
            }));
    if (!ec)
        m_p->ws.handshake(res, "127.0.0.1:" + std::to_string(iPort), sPath, ec);
    m_p->ws.read_message_max(0);
    return !ec;
}

bool OWsClient::bSend(const std::string& sText, bool bBinary) {
    beast::error_code ec;
    m_p->ws.binary(bBinary);
    m_p->ws.write(net::buffer(sText), ec);
    return !ec;
}

std::optional<std::string> OWsClient::Receive(int iMs) {
    beast::error_code ec;
    m_p->ws.next_layer().vTimeout(iMs);
    m_p->ws.read(m_p->buffer, ec);
    if (ec == net::error::timed_out) { // nothing came: the connection is given up
        vClose();
        return std::nullopt;
    }
    if (ec)
        return std::nullopt;
    std::string s = beast::buffers_to_string(m_p->buffer.data());
    m_p->buffer.consume(m_p->buffer.size());
    return s;
}

void OWsClient::vClose() {
    beast::error_code ec;
    m_p->ws.next_layer().close(ec);
}

int RawConnect(int iPort) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(iPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        return fd;
    close(fd);
    return -1;
}

std::string HttpGet(int iPort, const std::string& sPath) {
    const int fd = RawConnect(iPort);
    const std::string req = "GET " + sPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::string sAnswer;
    char buf[16384];
    if (write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size()))
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) // the service closes after it
            sAnswer.append(buf, static_cast<size_t>(n));
    close(fd);
    return sAnswer;
}

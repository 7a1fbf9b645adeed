#include "ws_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

struct OWsClient::tImpl {
    net::io_context ioc;
    beast::websocket::stream<tcp::socket> ws{ioc};
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
    bool bDone = false;
    beast::error_code ec;
    m_p->ws.async_read(m_p->buffer, [&](beast::error_code e, size_t) {
        bDone = true;
        ec = e;
    });
    m_p->ioc.restart();
    m_p->ioc.run_for(std::chrono::milliseconds(iMs));
    if (!bDone) { // nothing came: the connection is given up
        vClose();
        m_p->ioc.restart();
        m_p->ioc.run();
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

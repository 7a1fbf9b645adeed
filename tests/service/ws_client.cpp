#include "ws_client.h"

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

bool OWsClient::bConnect(int iPort, const std::string& sPath, std::string* pWhy,
                         const std::string& sOrigin) {
    beast::error_code ec;
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
    if (ec && pWhy)
        *pWhy = ec.message();
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

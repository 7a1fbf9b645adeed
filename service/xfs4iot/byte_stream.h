// One byte stream, TCP or TLS over TCP (tls.h), behind one type, with what Beast
// needs to end a WebSocket connection on it. Included by the listener's files only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>

namespace quillon::xfs {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using ErrorCode = boost::beast::error_code;

// The WebSocket and HTTP code over it is compiled once for both.
using Done = std::function<void(ErrorCode, size_t)>;
using Step = std::function<void(ErrorCode)>;

class OByteStream {
public:
    using executor_type = net::io_context::executor_type;

    struct IImpl {
        virtual ~IImpl() = default;
        virtual void vReadSome(net::mutable_buffer b, Done done) = 0;
        virtual void vWriteSome(net::const_buffer b, Done done) = 0;
        virtual void vHandshake(Step done) = 0; // TLS only
        virtual void vShutdown(Step done) = 0;
        virtual tcp::socket& Socket() = 0;
    };

    OByteStream(executor_type ex, std::unique_ptr<IImpl> p) : m_ex(ex), m_p(std::move(p)) {}
    executor_type get_executor() noexcept { return m_ex; }
    tcp::socket& socket() { return m_p->Socket(); }
    bool bHeld() const { return m_p != nullptr; } // false once moved on
    void vHandshake(Step done) { m_p->vHandshake(std::move(done)); }
    void vShutdown(Step done) { m_p->vShutdown(std::move(done)); }

    template <class Buffers, class Handler>
    auto async_read_some(const Buffers& buffers, Handler&& handler) {
        return net::async_initiate<Handler, void(ErrorCode, size_t)>(
            [this](auto h, const Buffers& bs) {
                m_p->vReadSome(First<net::mutable_buffer>(bs), Erase(std::move(h)));
            },
            handler, buffers);
    }
    template <class Buffers, class Handler>
    auto async_write_some(const Buffers& buffers, Handler&& handler) {
        return net::async_initiate<Handler, void(ErrorCode, size_t)>(
            [this](auto h, const Buffers& bs) {
                m_p->vWriteSome(First<net::const_buffer>(bs), Erase(std::move(h)));
            },
            handler, buffers);
    }

private:
    // Some bytes at a time is all a read_some or write_some promises.
    template <class Buffer, class Buffers> static Buffer First(const Buffers& bs) {
        for (auto it = net::buffer_sequence_begin(bs); it != net::buffer_sequence_end(bs); ++it)
            if (Buffer(*it).size() > 0)
                return Buffer(*it);
        return Buffer();
    }
    template <class Handler> static Done Erase(Handler h) {
        auto p = std::make_shared<Handler>(std::move(h));
        return [p](ErrorCode ec, size_t n) { (*p)(ec, n); };
    }

    executor_type m_ex;
    std::unique_ptr<IImpl> m_p;
};

class OTcpImpl : public OByteStream::IImpl {
public:
    explicit OTcpImpl(tcp::socket s) : m_socket(std::move(s)) {}
    void vReadSome(net::mutable_buffer b, Done done) override {
        m_socket.async_read_some(b, std::move(done));
    }
    void vWriteSome(net::const_buffer b, Done done) override {
        m_socket.async_write_some(b, std::move(done));
    }
    void vHandshake(Step done) override {
        net::post(m_socket.get_executor(), [done] { done({}); });
    }
    void vShutdown(Step done) override {
        ErrorCode ec;
        m_socket.shutdown(tcp::socket::shutdown_send, ec);
        m_socket.close(ec);
        net::post(m_socket.get_executor(), [done] { done({}); });
    }
    tcp::socket& Socket() override { return m_socket; }

private:
    tcp::socket m_socket;
};

// How Beast ends a WebSocket connection on this stream, and drops it on a time-out.
template <class Handler>
void async_teardown(boost::beast::role_type, OByteStream& s, Handler&& handler) {
    auto p = std::make_shared<std::decay_t<Handler>>(std::forward<Handler>(handler));
    s.vShutdown([p](ErrorCode ec) { (*p)(ec); });
}
inline void beast_close_socket(OByteStream& s) {
    ErrorCode ec;
    if (s.bHeld())
        s.socket().close(ec);
}

} // namespace quillon::xfs

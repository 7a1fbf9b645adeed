// One byte stream, TCP or TLS over TCP (tls.h), behind one type, with what Beast
// needs to end a WebSocket connection on it. Included by the listener's files only.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>

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

// The first non-empty buffers of a write, for one system call: a WebSocket
// frame's header and its payload leave in one segment, not two (a client
// woken twice per frame).
struct tGather {
    std::array<net::const_buffer, 8> a;
    size_t n = 0;
    void vAdd(net::const_buffer b) {
        if (b.size() > 0 && n < a.size())
            a[n++] = b;
    }
    const net::const_buffer* begin() const { return a.data(); }
    const net::const_buffer* end() const { return a.data() + n; }
};

class OByteStream {
public:
    using executor_type = net::io_context::executor_type;

    struct IImpl {
        virtual ~IImpl() = default;
        virtual void vReadSome(net::mutable_buffer b, Done done) = 0;
        // bMore: another frame follows at once; TCP may hold these bytes
        // back for it, so that both reach the peer in one segment.
        virtual void vWriteSome(const tGather& b, bool bMore, Done done) = 0;
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
    // The next write is followed by another at once.
    void vMoreFollows() { m_bMore = true; }

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
                tGather g;
                for (auto it = net::buffer_sequence_begin(bs); it != net::buffer_sequence_end(bs);
                     ++it)
                    g.vAdd(*it);
                m_p->vWriteSome(g, std::exchange(m_bMore, false), Erase(std::move(h)));
            },
            handler, buffers);
    }

private:
    // Some bytes at a time is all a read_some promises.
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
    bool m_bMore = false;
};

class OTcpImpl : public OByteStream::IImpl {
public:
    explicit OTcpImpl(tcp::socket s) : m_socket(std::move(s)) {}
    void vReadSome(net::mutable_buffer b, Done done) override {
        m_socket.async_read_some(b, std::move(done));
    }
    // A write with another behind it is held here and reported written; the
    // next one sends both with one system call (a client woken once).
    void vWriteSome(const tGather& b, bool bMore, Done done) override {
        const size_t n = net::buffer_size(b);
        if (bMore && m_held.size() + n <= kMaxHeld) {
            for (const net::const_buffer& piece : b)
                m_held.append(static_cast<const char*>(piece.data()), piece.size());
            return net::post(m_socket.get_executor(), [done, n] { done({}, n); });
        }
        vSendAfterHeld(b, std::move(done));
    }
    void vHandshake(Step done) override {
        net::post(m_socket.get_executor(), [done] { done({}); });
    }
    void vShutdown(Step done) override {
        ErrorCode ec;
        // Held for a write that never came (a close frame written while a
        // frame waited behind it): sent if the socket takes it now.
        m_socket.non_blocking(true, ec);
        if (!m_held.empty())
            m_socket.send(net::buffer(m_held), 0, ec);
        m_socket.shutdown(tcp::socket::shutdown_send, ec);
        m_socket.close(ec);
        net::post(m_socket.get_executor(), [done] { done({}); });
    }
    tcp::socket& Socket() override { return m_socket; }

private:
    static constexpr size_t kMaxHeld = 64 * 1024;

    // The held bytes first, then b; done learns how much of b left.
    void vSendAfterHeld(const tGather& b, Done done) {
        if (m_held.empty())
            return m_socket.async_write_some(b, std::move(done));
        tGather all;
        all.vAdd(net::buffer(m_held));
        for (const net::const_buffer& piece : b)
            all.vAdd(piece);
        m_socket.async_write_some(all, [this, b, done](ErrorCode ec, size_t n) {
            const size_t uiHeld = m_held.size();
            if (ec || n >= uiHeld) {
                m_held.clear();
                return done(ec, ec ? 0 : n - uiHeld);
            }
            m_held.erase(0, n); // a short write: the rest of what was held, again
            vSendAfterHeld(b, done);
        });
    }

    tcp::socket m_socket;
    std::string m_held; // written for the caller, not yet sent
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

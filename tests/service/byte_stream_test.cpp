// The listener's stream over TCP under a WebSocket: what one system call
// sends. A frame's header and payload leave together; a frame with another
// behind it waits for it; what waited reaches the peer whole and in order
// even when the socket takes it a piece at a time.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include <boost/asio/read.hpp>
#include <boost/beast/websocket.hpp>

#include "byte_stream.h"
#include "tcp_segments.h"

namespace {

using namespace quillon::xfs;
namespace websocket = boost::beast::websocket;

// A service side on OByteStream and a plain Beast client on loopback, both
// run by one io_context in this thread.
class OLink {
public:
    // iBuffer: the service side's send buffer and the client's receive
    // buffer, so that a socket takes a long write a piece at a time.
    explicit OLink(int iBuffer = 0) {
        tcp::acceptor acceptor(m_ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
        m_client.next_layer().open(tcp::v4());
        if (iBuffer > 0)
            m_client.next_layer().set_option(net::socket_base::receive_buffer_size(iBuffer));
        m_client.next_layer().connect(acceptor.local_endpoint());
        tcp::socket s(m_ioc);
        acceptor.accept(s);
        s.set_option(tcp::no_delay(true));
        if (iBuffer > 0)
            s.set_option(net::socket_base::send_buffer_size(iBuffer));
        m_iFd = s.native_handle();
        m_server = std::make_unique<websocket::stream<OByteStream>>(
            OByteStream(m_ioc.get_executor(), std::make_unique<OTcpImpl>(std::move(s))));
        m_server->async_accept([](ErrorCode ec) { ASSERT_FALSE(ec) << ec.message(); });
        m_client.async_handshake("127.0.0.1", "/",
                                 [](ErrorCode ec) { ASSERT_FALSE(ec) << ec.message(); });
        m_ioc.run();
        m_ioc.restart();
    }

    // The frames written one after the other (each one's write starts when
    // the one before has completed, as the service's sessions do);
    // abMore[i]: frame i is told that another follows. Returns the data
    // segments they took.
    unsigned Write(const std::vector<std::string>& frames, const std::vector<bool>& abMore) {
        const unsigned uiBefore = DataSegmentsOut(m_iFd);
        m_frames.assign(frames.begin(), frames.end());
        m_abMore = abMore;
        vWriteNext(0);
        m_ioc.run();
        m_ioc.restart();
        return DataSegmentsOut(m_iFd) - uiBefore;
    }

    // Reads the next frames as the client (on the same io_context: the
    // writes above may wait on the client's reading).
    std::vector<std::string> WriteAndRead(const std::vector<std::string>& frames,
                                          const std::vector<bool>& abMore) {
        m_frames.assign(frames.begin(), frames.end());
        m_abMore = abMore;
        std::vector<std::string> got;
        vWriteNext(0);
        vReadNext(got, frames.size());
        m_ioc.run();
        m_ioc.restart();
        return got;
    }

    websocket::stream<tcp::socket>& Client() { return m_client; }
    websocket::stream<OByteStream>& Server() { return *m_server; }
    void vRun() {
        m_ioc.run();
        m_ioc.restart();
    }

private:
    void vWriteNext(size_t i) {
        if (i == m_frames.size())
            return;
        if (m_abMore[i])
            m_server->next_layer().vMoreFollows();
        m_server->async_write(net::buffer(m_frames[i]), [this, i](ErrorCode ec, size_t) {
            ASSERT_FALSE(ec) << ec.message();
            vWriteNext(i + 1);
        });
    }
    void vReadNext(std::vector<std::string>& got, size_t uiLeft) {
        if (uiLeft == 0)
            return;
        m_client.async_read(m_in, [this, &got, uiLeft](ErrorCode ec, size_t) {
            ASSERT_FALSE(ec) << ec.message();
            got.push_back(boost::beast::buffers_to_string(m_in.data()));
            m_in.consume(m_in.size());
            vReadNext(got, uiLeft - 1);
        });
    }

    net::io_context m_ioc;
    websocket::stream<tcp::socket> m_client{m_ioc};
    std::unique_ptr<websocket::stream<OByteStream>> m_server;
    int m_iFd = -1;
    std::deque<std::string> m_frames;
    std::vector<bool> m_abMore;
    boost::beast::flat_buffer m_in;
};

const std::string kAck =
    R"({"header":{"name":"Common.Status","requestId":7,"type":"acknowledge","version":"2.0"}})";
const std::string kCompletion =
    R"({"header":{"name":"Common.Status","requestId":7,"type":"completion","version":"2.0","completionCode":"success"},"payload":{}})";

} // namespace

// One segment per answer: a client woken once for an acknowledge and its
// completion, not for each frame's header and payload apart.
TEST(ByteStream, FramesThatFollowEachOtherLeaveInOneSegment) {
    struct tCase {
        const char* pWhat;
        std::vector<std::string> frames;
        std::vector<bool> abMore;
        unsigned uiSegments;
    };
    const std::string sLarge(3000, 'x');
    const tCase kCases[] = {
        {"one frame, header and payload", {kCompletion}, {false}, 1},
        {"a large frame (16-bit length)", {sLarge}, {false}, 1},
        {"acknowledge before its completion", {kAck, kCompletion}, {true, false}, 1},
        {"three frames, two held", {kAck, kAck, kCompletion}, {true, true, false}, 1},
        {"two frames, nothing held", {kAck, kCompletion}, {false, false}, 2},
    };
    for (const tCase& c : kCases) {
        OLink link;
        EXPECT_EQ(link.Write(c.frames, c.abMore), c.uiSegments) << c.pWhat;
        for (const std::string& sFrame : c.frames) {
            boost::beast::flat_buffer b;
            link.Client().read(b);
            EXPECT_EQ(boost::beast::buffers_to_string(b.data()), sFrame) << c.pWhat;
        }
    }
}

// A held frame larger than the socket takes in one call (a client with a
// small window; one frame, not Beast's 4 KiB pieces, makes it certain): the
// rest of it goes before any byte of the next frame, and both arrive whole.
TEST(ByteStream, HeldBytesGoFirstThroughShortWrites) {
    OLink link(4096);
    link.Server().auto_fragment(false);
    std::string sFirst(64 * 1024 - 16, 'a'), sSecond(50 * 1024, 'b');
    for (size_t i = 0; i < sFirst.size(); i += 997)
        sFirst[i] = static_cast<char>('0' + i % 10);
    sSecond.back() = 'z';
    const std::vector<std::string> got =
        link.WriteAndRead({sFirst, sSecond, kAck}, {true, false, false});
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], sFirst);
    EXPECT_EQ(got[1], sSecond);
    EXPECT_EQ(got[2], kAck);
}

// A write told another follows, and then the end instead: what was held
// still reaches the peer before the connection closes.
TEST(ByteStream, HeldBytesLeaveBeforeTheClose) {
    OLink link;
    OByteStream& stream = link.Server().next_layer();
    stream.vMoreFollows();
    bool bWritten = false;
    stream.async_write_some(net::buffer(kAck), [&](ErrorCode ec, size_t n) {
        bWritten = !ec && n == kAck.size();
        stream.vShutdown([](ErrorCode) {});
    });
    link.vRun();
    EXPECT_TRUE(bWritten);
    std::string sGot(kAck.size() + 1, '\0');
    ErrorCode ec;
    const size_t n = net::read(link.Client().next_layer(), net::buffer(sGot), ec);
    EXPECT_EQ(ec, net::error::eof);
    EXPECT_EQ(sGot.substr(0, n), kAck);
}

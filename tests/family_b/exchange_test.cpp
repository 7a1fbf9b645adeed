#include <cstring>
#include <tuple>

#include "readers/idc_driver.h"
#include "support/scripted_reader.h"

using namespace quillon;

namespace {
const Bytes kC11Frame = B({0xF2, 0x00, 0x03, 'C', '1', '1', 0xD5, 0x0B});

class ExchangeB : public ReaderBTest {
protected:
    // Sends "C11"; the code of the exchange.
    int Exec(uint32_t dataSize = 1024) {
        std::memset(data, 0, sizeof data);
        got = reader.tExchange(B("C11").data(), 3, data, dataSize, 7000);
        dataLen = got.uiDataLen;
        return quillon::ToInt(got.eCode);
    }
    std::string Header() const { return std::string(got.abShown, got.abShown + got.uiShownLen); }
    quillon::tCommandReply got{};
    uint8_t data[1100];
    uint32_t dataLen = 0;
};
} // namespace

// Stale input dropped, the frame, ACK awaited 3000 ms, the reply in the caller's time-out, ACK
// back; failures end the exchange with their codes.
TEST_F(ExchangeB, ReplyOrFailureEndsTheExchange) {
    Bytes badCrc = Ok("AB"), badStart = Ok("AB"), truncated = Ok("ABCDEFGH");
    badCrc.back() ^= 0x01;
    badStart[1] = 0xF3;
    truncated.resize(truncated.size() - 6);
    const Bytes cancel = B({0x10, 0x04});
    const std::vector<std::tuple<const char*, Bytes, int, std::vector<Bytes>, size_t>> rows = {
        // answer, code, writes after the frame, reads
        {"good reply", Answer('P', "11", "00", B("DATA")), 1201, {B({0x06})}, 3},
        {"NAK", B({0x15}), 1226, {}, 1},
        {"other byte for ACK", B({0x41}), 1226, {}, 1},
        {"silence", kSilence, 1299, {cancel}, 1},
        {"ACK, then silence", B({0x06}), 1299, {cancel}, 2},
        {"header, then silence", B({0x06, 0xF2, 0x00, 0x07}), 1299, {cancel}, 3},
        {"half a header, then silence", B({0x06, 0xF2, 0x01}), 1299, {cancel}, 4},
        {"bad CRC", badCrc, 1222, {}, 3},
        {"bad start byte", badStart, 1222, {}, 3},
        {"length 4", Cat({B({0x06, 0xF2, 0x00, 0x04}), B("P000"), B({0, 0})}), 1222, {}, 2},
        {"length 1020", Cat({B({0x06, 0xF2, 0x03, 0xFC}), Bytes(1022, 'x')}), 1222, {}, 2},
        {"body cut short", truncated, 1222, {}, 4},
        {"N 42", Neg("42"), 1221, {B({0x06})}, 3},
    };
    for (const auto& [name, answer, code, after, reads] : rows) {
        SCOPED_TRACE(name);
        vRestart({answer});
        line().vFeed(Ok("OLD"));
        EXPECT_EQ(code, Exec());
        // A header only from a reply taken.
        EXPECT_EQ(code == 1221   ? "Nxx42"
                  : code == 1201 ? "P1100DATA"
                                 : "",
                  Header() + std::string(data, data + dataLen));
        EXPECT_EQ(LineEvent::Purge, line().events.at(0).kind);
        std::vector<Bytes> writes = line().Writes();
        EXPECT_EQ(kC11Frame, writes.at(0));
        EXPECT_EQ(after, std::vector<Bytes>(writes.begin() + 1, writes.end()));
        const Ms timeouts = line().ReadTimeouts();
        EXPECT_EQ(reads, timeouts.size());
        EXPECT_EQ(3000u, timeouts.at(0));                   // the acknowledgement's wait
        EXPECT_TRUE(reads == 1 || timeouts.at(1) == 7000u); // the reply's: the caller's
    }
    vRestart({Ok()});
    line().bFailWrite = true;
    EXPECT_EQ(1223, Exec());
    line().bFailWrite = false;
    EXPECT_TRUE(line().ReadTimeouts().empty());
}

TEST_F(ExchangeB, LargestReplyFitsAndCopiesStayInsideTheBuffer) {
    Bytes big(1014); // 1019 payload bytes: the most the receive buffer holds
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i);
    for (uint32_t size : {1024u, 10u}) {
        vRestart({Ok(big)});
        EXPECT_EQ(1201, Exec(size));
        const size_t n = std::min<size_t>(size, big.size());
        EXPECT_EQ(Bytes(big.begin(), big.begin() + n), Bytes(data, data + dataLen));
        EXPECT_EQ(0, data[n]);
    }
}

#include <cstring>
#include <tuple>

#include "api/reader_registry.h"
#include "reader_b_fixture.h"
#include "readers/idc_driver.h"

namespace {
const Bytes kC11Frame = B({0xF2, 0x00, 0x03, 'C', '1', '1', 0xD5, 0x0B});

class ExchangeB : public ReaderBTest {
protected:
    int Exec(uint32_t dataSize = 1024) { // sends "C11"
        std::memset(data, 0, sizeof data);
        return reader.iExecCommand(B("C11").data(), 3, data, dataSize, &dataLen, &ret, 7000);
    }
    uint8_t data[1100];
    uint32_t dataLen = 0;
};
} // namespace

TEST(Crc16Xmodem, CatalogueCheckValue) {
    const Bytes digits = B("123456789");
    EXPECT_EQ(0x31C3, quillon::Crc16Xmodem(digits.data(), digits.size()));
}

// Stale input dropped, frame, ACK awaited 3000 ms, reply in the caller's time-out, ACK back.
TEST_F(ExchangeB, GoodReplyIsAcknowledgedAndHandedOver) {
    vRestart({Answer('P', "11", "00", B("DATA"))});
    line().vFeed(Ok("OLD"));
    EXPECT_EQ(0, Exec());
    vExpectRet(1201, 0);
    EXPECT_EQ("P1100DATA", std::string(ret.acReplyText, 5) + std::string(data, data + dataLen));
    std::string kinds;
    for (const LineEvent& e : line().events)
        kinds += "OCWRPL"[e.kind];
    EXPECT_EQ("PWRRRW", kinds);
    EXPECT_EQ((std::vector<Bytes>{kC11Frame, B({0x06})}), line().Writes());
    EXPECT_EQ((Ms{3000, 7000, 7000}), line().ReadTimeouts());
}

TEST_F(ExchangeB, FailuresEndTheExchangeWithTheirCodes) {
    Bytes badCrc = Ok("AB"), badStart = Ok("AB"), truncated = Ok("ABCDEFGH");
    badCrc.back() ^= 0x01;
    badStart[1] = 0xF3;
    truncated.resize(truncated.size() - 6);
    const Bytes cancel = B({0x10, 0x04});
    const std::vector<std::tuple<const char*, Bytes, int, std::vector<Bytes>, size_t>> rows = {
        // answer, code, writes after the frame, reads
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
        EXPECT_EQ(1, Exec());
        vExpectRet(code, 1);
        std::vector<Bytes> writes = line().Writes();
        EXPECT_EQ(kC11Frame, writes.at(0));
        EXPECT_EQ(after, std::vector<Bytes>(writes.begin() + 1, writes.end()));
        EXPECT_EQ(reads, line().ReadTimeouts().size());
    }
    vRestart({Ok()});
    line().bFailWrite = true;
    EXPECT_EQ(1, Exec());
    line().bFailWrite = false;
    vExpectRet(1223, 1);
    EXPECT_TRUE(line().ReadTimeouts().empty());
}

TEST_F(ExchangeB, LargestReplyFitsAndCopiesStayInsideTheBuffer) {
    Bytes big(1014); // 1019 payload bytes: the most the receive buffer holds
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i);
    for (uint32_t size : {1024u, 10u}) {
        vRestart({Ok(big)});
        EXPECT_EQ(0, Exec(size));
        const size_t n = std::min<size_t>(size, big.size());
        EXPECT_EQ(Bytes(big.begin(), big.begin() + n), Bytes(data, data + dataLen));
        EXPECT_EQ(0, data[n]);
    }
}

TEST_F(ExchangeB, ReplyCodeMapEveryCell) {
    const int negative[7][10] = {
        {1266, 1267, 1267, 1215, 1268, 1240, 1232, 1221, 1221, 1221},
        {1283, 1284, 1285, 1241, 1242, 1244, 1243, 1288, 1295, 1239},
        {1247, 1251, 1258, 1250, 1249, 1233, 1245, 1246, 1248, 1233},
        {1291, 1298, 1221, 1221, 1221, 1221, 1221, 1221, 1221, 1221},
        {1260, 1293, 1221, 1296, 1221, 1234, 1221, 1221, 1265, 1221},
        {1297, 1286, 1221, 1235, 1238, 1237, 1221, 1221, 1221, 1221},
        {1270, 1275, 1273, 1276, 1276, 1278, 1279, 1221, 1221, 1279},
    };
    std::vector<std::pair<std::string, int>> rows = {{"P00", 1201}, {"P01", 1202}, {"P02", 1203},
                                                     {"P10", 1221}, {"NB0", 1236}, {"NB1", 1221},
                                                     {"N70", 1221}, {"N0A", 1221}, {"X00", 1221}};
    for (int first = 0; first < 7; ++first)
        for (int second = 0; second < 10; ++second)
            rows.push_back({{'N', char('0' + first), char('0' + second)}, negative[first][second]});
    for (const auto& [reply, code] : rows) {
        SCOPED_TRACE(reply);
        vRestart({Answer(reply[0], "ab", reply.substr(1))});
        const bool success = code <= 1203;
        EXPECT_EQ(success ? 0 : 1, Exec());
        vExpectRet(code, success ? 0 : 1);
        EXPECT_EQ(reply.substr(0, 1) + "ab" + reply.substr(1), std::string(ret.acReplyText, 5));
    }
}

// Configured 2: one status exchange. Configured 3: C silent, A probed silent, B answers.
TEST(SelectionB, FamilyBIsFoundAndWrittenBack) {
    for (const auto& [configured, firstBytes] :
         std::vector<std::pair<int, Bytes>>{{2, {0xF2, 0x06}}, {3, {0x02, 0x10}}}) {
        SCOPED_TRACE(configured);
        TestEnv env("[CARDREADER]\nPort=/dev/scripted\n[CardReaderType]\nCardReaderType=" +
                    std::to_string(configured) + "\n");
        ScopedScriptedLine line;
        std::deque<Bytes> answers = {Ok(B({0, 0, 0, 'F'})), Ok()};
        Commands commands;
        vFakeReaderB(*line, answers, commands);
        OReaderRegistry reg;
        OIdcDriver* active = nullptr;
        EXPECT_EQ(2, reg.iSelectDriver(active));
        EXPECT_EQ(reg.pDriverForType(2), active);
        EXPECT_EQ((Commands{"C13", "C11"}), commands);
        const std::vector<Bytes> writes = line->Writes();
        ASSERT_GE(writes.size(), 2u);
        EXPECT_EQ(firstBytes, B({writes[0][0], writes[1][0]}));
        int written = 0;
        EXPECT_EQ(0, reg.pComm()->iGetIntValue("CardReaderType", "CardReaderType", written));
        EXPECT_EQ(2, written);
        line->responder = nullptr;
    }
}

#include "reader_b_fixture.h"

namespace {
const Bytes kC11Frame = B({0xF2, 0x00, 0x03, 'C', '1', '1', 0xD5, 0x0B});

class ExchangeB : public ReaderBTest {
protected:
    int Exec(const std::string& command, uint32_t dataSize = 1024, uint32_t timeout = 7000) {
        std::memset(data, 0, sizeof data);
        dataLen = 99;
        return reader.iExecCommand(reinterpret_cast<const uint8_t*>(command.data()),
                                   static_cast<uint32_t>(command.size()), data, dataSize, &dataLen,
                                   &ret, timeout);
    }
    uint8_t data[1100];
    uint32_t dataLen = 0;
};
} // namespace

TEST(Crc16Xmodem, CatalogueCheckValue) {
    const Bytes digits = B("123456789");
    EXPECT_EQ(0x31C3, quillon::Crc16Xmodem(digits.data(), digits.size()));
}

TEST_F(ExchangeB, GoodReplyIsAcknowledgedAndHandedOver) {
    vRestart({Answer('P', "11", "00", B("DATA"))});
    EXPECT_EQ(0, Exec("C11"));
    vExpectRet(1201, 0);
    EXPECT_EQ(0, std::memcmp(ret.acReplyText, "P1100", 5));
    EXPECT_EQ(4u, dataLen);
    EXPECT_EQ("DATA", std::string(reinterpret_cast<char*>(data), dataLen));

    // Stale input dropped, frame, ACK in 3000 ms, header and body in the
    // caller's time-out, ACK back.
    const auto& ev = line->events;
    ASSERT_EQ(6u, ev.size());
    EXPECT_EQ(LineEvent::Purge, ev[0].kind);
    EXPECT_EQ(Hex(kC11Frame), Hex(ev[1].data));
    EXPECT_EQ(1u, ev[2].uiWanted);
    EXPECT_EQ(3000u, ev[2].uiValue);
    EXPECT_EQ(3u, ev[3].uiWanted);
    EXPECT_EQ(7000u, ev[3].uiValue);
    EXPECT_EQ(11u, ev[4].uiWanted); // 9 payload bytes and the CRC
    EXPECT_EQ(7000u, ev[4].uiValue);
    EXPECT_EQ(LineEvent::Write, ev[5].kind);
    EXPECT_EQ("06", Hex(ev[5].data));
}

TEST_F(ExchangeB, FailuresEndTheExchangeWithTheirCodes) {
    Bytes badCrc = Ok("AB");
    badCrc.back() ^= 0x01;
    Bytes badStart = Ok("AB");
    badStart[1] = 0xF3;
    // Length field 4 and 1020: the reply is not taken at all.
    const Bytes tooShort = Cat({B({0x06, 0xF2, 0x00, 0x04}), B("P000"), B({0, 0})});
    const Bytes tooLong = Cat({B({0x06, 0xF2, 0x03, 0xFC}), Bytes(1022, 'x')});
    Bytes truncated = Ok("ABCDEFGH");
    truncated.resize(truncated.size() - 6);
    const Bytes cancel = B({0x10, 0x04});
    struct Row {
        const char* name;
        Bytes answer;
        int code;
        std::vector<Bytes> writesAfterFrame;
        size_t reads;
    } rows[] = {
        {"NAK", B({0x15}), 1226, {}, 1},
        {"other byte for ACK", B({0x41}), 1226, {}, 1},
        {"silence", kSilence, 1299, {cancel}, 1},
        {"ACK, then silence", B({0x06}), 1299, {cancel}, 2},
        {"header, then silence", B({0x06, 0xF2, 0x00, 0x07}), 1299, {cancel}, 3},
        {"bad CRC", badCrc, 1222, {}, 3},
        {"bad start byte", badStart, 1222, {}, 3},
        {"fewer than five payload bytes", tooShort, 1222, {}, 2},
        {"more than the receive buffer", tooLong, 1222, {}, 2},
        {"body cut short", truncated, 1222, {}, 4}, // the body read waits once more
        {"P 03", Answer('P', "11", "03"), 1221, {B({0x06})}, 3},
        {"N 30", Neg("30"), 1291, {B({0x06})}, 3},
        {"N 42", Neg("42"), 1221, {B({0x06})}, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        vRestart({row.answer});
        EXPECT_EQ(1, Exec("C11"));
        vExpectRet(row.code, 1);
        std::vector<Bytes> writes = line->Writes();
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(Hex(kC11Frame), Hex(writes[0]));
        writes.erase(writes.begin());
        EXPECT_EQ(row.writesAfterFrame, writes);
        EXPECT_EQ(row.reads, line->ReadTimeouts().size());
    }

    // A failed send: 1223 and nothing else.
    vRestart({Ok()});
    line->bFailWrite = true;
    EXPECT_EQ(1, Exec("C11"));
    line->bFailWrite = false;
    vExpectRet(1223, 1);
    EXPECT_EQ(1u, line->Writes().size());
    EXPECT_TRUE(line->ReadTimeouts().empty());
}

TEST_F(ExchangeB, LargestReplyFitsAndCopiesStayInsideTheBuffers) {
    // 1019 payload bytes: the most the receive buffer holds behind the header.
    Bytes big(1014);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i);
    vRestart({Ok(big)});
    EXPECT_EQ(0, Exec("CI3"));
    ASSERT_EQ(1014u, dataLen);
    EXPECT_EQ(0, std::memcmp(data, big.data(), big.size()));

    // A buffer of ten bytes gets ten.
    vRestart({Ok(big)});
    EXPECT_EQ(0, Exec("CI3", 10));
    EXPECT_EQ(10u, dataLen);
    EXPECT_EQ(0, data[10]);
}

TEST_F(ExchangeB, StaleInputIsDroppedBeforeTheFrame) {
    vRestart({Ok("NEW")});
    line->vFeed(Ok("OLD")); // left over from an exchange given up earlier
    EXPECT_EQ(0, Exec("C11"));
    EXPECT_EQ("NEW", std::string(reinterpret_cast<char*>(data), dataLen));
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
    struct Row {
        char kind;
        std::string status;
        int code;
    };
    std::vector<Row> rows = {{'P', "00", 1201}, {'P', "01", 1202}, {'P', "02", 1203},
                             {'P', "10", 1221}, {'N', "B0", 1236}, {'N', "B1", 1221},
                             {'N', "70", 1221}, {'N', "0A", 1221}, {'X', "00", 1221}};
    for (int first = 0; first < 7; ++first)
        for (int second = 0; second < 10; ++second)
            rows.push_back({'N', {char('0' + first), char('0' + second)}, negative[first][second]});
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(1, row.kind) + row.status);
        vRestart({Answer(row.kind, "ab", row.status)});
        const bool success = row.code >= 1201 && row.code <= 1203;
        EXPECT_EQ(success ? 0 : 1, Exec("C11"));
        vExpectRet(row.code, success ? 0 : 1);
        EXPECT_EQ(std::string(1, row.kind) + "ab" + row.status, std::string(ret.acReplyText, 5));
    }
}

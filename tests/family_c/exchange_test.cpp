#include "reader_c_fixture.h"

#include <cstring>

TEST(ReaderCFrame, LengthPrefixAndXorCheck) {
    uint8_t buf[16] = {'0', '0'};
    uint32_t len = 2;
    OSerialReaderC::vPackFrame(buf, &len);
    EXPECT_EQ("02 00 02 30 30 03 03", Hex(Bytes(buf, buf + len)));
    const Bytes chip = B({'9', '3', 0x00, 0x02, 0xAA, 0xBB});
    std::copy(chip.begin(), chip.end(), buf);
    len = 6;
    OSerialReaderC::vPackFrame(buf, &len);
    EXPECT_EQ("02 00 06 39 33 00 02 AA BB 03 1E", Hex(Bytes(buf, buf + len)));
}

TEST_F(ReaderC, ExchangeOutcomes) {
    const Bytes ok = B({0x02, 0x00, 0x03, 0x50, 0x31, 0x30, 0x03, 0x53}); // "P10", no data
    struct Row {
        const char* name;
        Bytes first, reply;
        int result, code;
        uint32_t copied;
        const char* kinds; // events: L line control, P purge, W write, R read
        std::vector<uint32_t> lineCtl, waits;
    } rows[] = {
        // clang-format off
        {"positive", B({6}), ok, 0, 0, 8, "LPWRWRRL", {5, 6}, {2000, 7000, 7000}},
        {"silent", {}, {}, 1, 1226, 0, "LPWR", {5}, {2000}},
        {"NAK instead of ACK", B({0x15}), ok, 1, 1226, 0, "LPWR", {5}, {2000}},
        {"wrong BCC", B({6}), Cat({Bytes(ok.begin(), ok.end() - 1), B({0x54})}), 1, 1222, 8,
         "LPWRWRR", {5}, {2000, 7000, 7000}},
        {"no reply after ENQ", B({6}), {}, 1, 1299, 0, "LPWRWR", {5}, {2000, 7000}},
        {"reply cut short", B({6}), Bytes(ok.begin(), ok.begin() + 5), 1, 1299, 5,
         "LPWRWRRR", {5}, {2000, 7000, 7000, 7000}},
        {"beyond the receive buffer", B({6}), B({0x02, 0x03, 0xFD}), 1, 1299, 0,
         "LPWRWR", {5}, {2000, 7000}},
        {"negative 0x31", B({6}), Frame(B({'N', '1', '0', 0x31})), 1, 1276, 9,
         "LPWRWRRL", {5, 6}, {2000, 7000, 7000}},
        // clang-format on
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        vFresh();
        vOn("10", {r.first, r.reply});
        std::memset(ret.acReplyText, 'x', sizeof ret.acReplyText);
        uint8_t reply[64] = {};
        uint32_t len = sizeof reply;
        EXPECT_EQ(r.result, drv->iExecCommand(B("10").data(), 2, reply, &len, &ret, 7000));
        EXPECT_EQ(R(r.code, r.result), Rec());
        EXPECT_EQ(Hex(Bytes(r.reply.begin(), r.reply.begin() + r.copied)),
                  Hex(Bytes(reply, reply + len)));
        std::string kinds;
        for (const LineEvent& e : line().events)
            kinds += "OCWRPL"[e.kind];
        EXPECT_EQ(r.kinds, kinds);
        EXPECT_EQ(r.lineCtl, line().LineControls());
        EXPECT_EQ(r.waits, line().ReadTimeouts());
        EXPECT_EQ('x', ret.acReplyText[255]); // family C leaves the text area alone
    }
    vFresh();
    line().bFailWrite = true;
    uint32_t len = 0;
    EXPECT_EQ(1, drv->iExecCommand(B("10").data(), 2, nullptr, &len, &ret, 7000));
    EXPECT_EQ(R(1223, 1), Rec());
}

TEST(ReaderCMap, EveryReplyCode) {
    const std::vector<std::pair<int, int>> rows = {
        {0x00, 1266}, {0x01, 1224}, {0x02, 1268}, {0x03, 1267}, {0x04, 1267}, {0x05, 1291},
        {0x07, 1291}, {0x08, 1285}, {0x09, 1221}, {0x0A, 1283}, {0x0B, 1284}, {0x0C, 1241},
        {0x0D, 1242}, {0x0E, 1239}, {0x0F, 1221}, {0x20, 1221}, {0x21, 1275}, {0x30, 1275},
        {0x22, 1276}, {0x24, 1276}, {0x31, 1276}, {0x33, 1276}, {0x25, 1221}, {0x2F, 1221},
        {0x34, 1221}, {0x4F, 1221}, {0x50, 1293}, {0x51, 1273}, {0x53, 1273}, {0x54, 1221},
        {0x55, 1221}, {0x56, 1273}, {0x6B, 1273}, {0x6C, 1221}, {0x6F, 1221}, {0x70, 1273},
        {0x73, 1273}, {0x74, 1221}, {0xFF, 1221}};
    auto map = [](const Bytes& text) {
        const Bytes f = Frame(text);
        return OSerialReaderC::iMapReplyCode(f.data(), uint32_t(f.size()));
    };
    for (const auto& [err, code] : rows)
        EXPECT_EQ(code, map(B({'N', '1', '0', err}))) << err;
    EXPECT_EQ(0, map(B("P10")));
    EXPECT_EQ(1222, map(B("X10")));
    EXPECT_EQ(1221, map(B("N10"))); // no error byte
}

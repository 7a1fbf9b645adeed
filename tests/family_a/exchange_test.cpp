#include "reader_a_fixture.h"

#include <sstream>

namespace {
const Bytes kAck = B({0x10, 0x06});
const Bytes kNak = B({0x10, 0x15});
const Bytes kEnq = B({0x10, 0x05});
const Bytes kEot = B({0x10, 0x04});
const Bytes kAckA = B({0x06, 0x46});

struct Exchange {
    int result;
    uint8_t reply[64];
    uint32_t replyLen;
    tDevReturn rec;
};
} // namespace

class ExchangeA : public ReaderA {
protected:
    Exchange Run(const Bytes& text, uint32_t replySize = 64, uint32_t timeout = 7000) {
        Exchange x{};
        std::memset(x.reply, 0xEE, sizeof x.reply);
        x.replyLen = replySize;
        x.rec = Rec();
        x.result = a.iExecCommand(text.data(), static_cast<uint32_t>(text.size()), x.reply,
                                  &x.replyLen, &x.rec, timeout);
        return x;
    }
    OSerialReaderA a{&comm};
};

TEST_F(ExchangeA, FramesWithBccAndReadsWithTheTimeoutsAskedFor) {
    struct Row {
        Bytes text, frame;
    } rows[] = {
        {B("C40"), B({0x10, 0x02, 'C', '4', '0', 0x10, 0x03, 0x44})},
        // A DLE in the text goes out doubled and counts once in the BCC.
        {B({'C', 0x10, '1'}), B({0x10, 0x02, 'C', 0x10, 0x10, '1', 0x10, 0x03, 0x61})},
    };
    for (const Row& row : rows) {
        line->events.clear();
        Reader("P4000", B("ab"));
        Exchange x = Run(row.text);
        EXPECT_EQ(0, x.result);
        EXPECT_RECORD(x.rec, 1201, 0);
        EXPECT_EQ("P4000x", std::string(x.rec.acReplyText, 6)); // only the header is written
        EXPECT_EQ(2u, x.replyLen);
        EXPECT_EQ("ab", std::string(x.reply, x.reply + 2));
        const auto& ev = line->events;
        ASSERT_GE(ev.size(), 5u);
        EXPECT_EQ(LineEvent::Purge, ev[0].kind);
        EXPECT_EQ(Hex(row.frame), Hex(ev[1].data));
        EXPECT_EQ(2u, ev[2].uiWanted);
        EXPECT_EQ(3000u, ev[2].uiValue);
        EXPECT_EQ(Hex(kEnq), Hex(ev[3].data));
        for (size_t i = 4; i < ev.size(); ++i) { // the reply, byte by byte
            EXPECT_EQ(LineEvent::Read, ev[i].kind);
            EXPECT_EQ(1u, ev[i].uiWanted);
            EXPECT_EQ(7000u, ev[i].uiValue);
        }
        EXPECT_EQ(FrameA(Cat({B("P4000"), B("ab")})).size(), ev.size() - 4);
    }
}

TEST_F(ExchangeA, HandshakeRefusalsSilenceAndBrokenReplies) {
    Bytes longFrame = Cat({B({0x10, 0x02}), Bytes(1100, 'A')});
    struct Row {
        const char* name;
        Bytes text;
        std::vector<Bytes> answers; // to the successive writes
        uint32_t replySize;
        int code;
        int frames; // times the command frame went out
        bool enq, eot;
    } rows[] = {
        // clang-format off
        {"two refusals, then ACK", B("C40"), {kNak, B({0x15}), kAck, FrameA(B("P4000"))}, 64, 1201, 3, true, false},
        {"three refusals", B("C40"), {kNak, kNak, B({0x10})}, 64, 1224, 3, false, false},
        {"silence", B("C40"), {}, 64, 1225, 1, false, false},
        {"silence after a refusal", B("C40"), {kNak}, 64, 1225, 2, false, false},
        {"reply byte missing", B("C40"), {kAck, B({0x10, 0x02, 'P', '4'})}, 64, 1299, 1, true, true},
        {"reply beyond 1024 bytes", B("C40"), {kAck, longFrame}, 64, 1299, 1, true, true},
        {"reply text of 4 bytes", B("C40"), {kAck, FrameA(B("P400"))}, 64, 1299, 1, true, true},
        {"reply data beyond the buffer", B("C40"), {kAck, FrameA(B("P4000123456789"))}, 8, 1299, 1, true, true},
        {"frame of 512 bytes", Bytes(507, 'A'), {kAck, FrameA(B("P4000"))}, 64, 1201, 1, true, false},
        {"frame of 513 bytes", Bytes(508, 'A'), {kAck}, 64, 1224, 0, false, false},
        {"doubled DLEs pass 512", Bytes(254, 0x10), {kAck}, 64, 1224, 0, false, false},
        // clang-format on
    };
    line->responder = nullptr;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        line->vClear();
        for (const Bytes& b : row.answers)
            line->vOnWrite(b);
        Exchange x = Run(row.text, row.replySize);
        EXPECT_RECORD(x.rec, row.code, row.code == 1201 ? 0 : 1);
        EXPECT_EQ(row.code == 1201 ? 0 : 1, x.result);
        std::vector<Bytes> expected(static_cast<size_t>(row.frames), FrameA(row.text));
        if (row.enq)
            expected.push_back(kEnq);
        if (row.eot)
            expected.push_back(kEot);
        EXPECT_EQ(expected, line->Writes());
        EXPECT_EQ(row.frames, line->Purges()); // stale input dropped before every frame
        if (row.code != 1201) {
            EXPECT_EQ(0u, x.replyLen);
            EXPECT_EQ(0xEE, x.reply[0]);
            EXPECT_EQ('x', x.rec.acReplyText[0]);
        }
    }
}

TEST_F(ExchangeA, DleEtxInsideReplyDataIsData) {
    const Bytes head = B("P4000");
    uint8_t check = 0x03; // what a check that took the doubled DLE as the end would expect
    for (uint8_t b : Cat({head, B({'A', 0x10})}))
        check ^= b;
    const Bytes datas[] = {
        B({'A', 0x10, 0x03, 'B'}),
        B({'A', 0x10, 0x03, check, 'B'}), // the candidate BCC even matches that sum
        B({0x10, 0x03}),
    };
    for (const Bytes& data : datas) {
        SCOPED_TRACE(Hex(data));
        line->events.clear();
        reader.push_back(Cat({head, data}));
        Exchange x = Run(B("C40"));
        EXPECT_RECORD(x.rec, 1201, 0);
        EXPECT_EQ(Hex(data), Hex(Bytes(x.reply, x.reply + x.replyLen)));
        EXPECT_EQ(2u, line->Writes().size()); // no DLE EOT
    }
}

TEST_F(ExchangeA, EveryReplyStatusMapsToItsCode) {
    // Kind and status, code; the last line is not in the map.
    std::istringstream map(
        "P00 1201 P01 1202 P02 1203 P04 1204 P10 1206 P11 1207 P20 1208 P21 1209 P22 1210 "
        "P23 1211 P30 1212 P31 1213 N00 1266 N01 1267 N02 1268 N03 1282 N10 1283 N11 1284 "
        "N12 1285 N13 1286 N14 1287 N15 1288 N16 1289 N17 1290 N18 1291 N19 1292 N1E 1237 "
        "N1F 1237 N1G 1238 N20 1241 N21 1242 N32 1243 N33 1244 N40 1245 N41 1246 N42 1247 "
        "N43 1248 N44 1249 N45 1250 N46 1251 N47 1230 N49 1252 N4A 1231 N50 1253 N51 1254 "
        "N52 1255 N53 1256 N54 1257 N55 1258 N56 1259 N60 1260 N61 1261 N62 1262 N63 1263 "
        "N64 1264 N70 1227 N71 1228 N72 1227 N80 1269 N81 1293 N82 1270 N84 1271 N85 1272 "
        "N86 1274 N87 1273 N88 1294 "
        "P03 1221 P05 1221 P24 1221 N48 1221 N83 1221 N1e 1221 N1H 1221 N22 1221 X00 1221");
    std::string status;
    int code = 0, rows = 0;
    while (map >> status >> code) {
        SCOPED_TRACE(status);
        ++rows;
        const std::string reply = status.substr(0, 1) + "40" + status.substr(1);
        Reader(reply);
        Exchange x = Run(B("C40"));
        const int flag = (code >= 1201 && code <= 1210) || code == 1212 || code == 1213 ? 0 : 1;
        EXPECT_RECORD(x.rec, code, flag);
        EXPECT_EQ(flag, x.result);
        EXPECT_EQ(reply + "x", std::string(x.rec.acReplyText, 6)); // the header only
    }
    EXPECT_EQ(75, rows);
}

// ----------------------------------------------------- auxiliary module

class ModuleA : public ReaderA {
protected:
    OAuxModule m{&comm};
};

TEST_F(ModuleA, FramesHandshakeAndDtr) {
    Module("P01");
    Module(std::string("P00") + "hdr45" + "MOD-ID-0042" + "tail");
    tDevReturn r = Rec();
    uint8_t ident[16];
    std::memset(ident, '.', sizeof ident);
    EXPECT_EQ(0, m.iInitModule(&r, ident, sizeof ident));
    EXPECT_RECORD(r, 0, 0);
    EXPECT_EQ('x', r.acReplyText[0]);
    EXPECT_EQ("MOD-ID-0042.....", std::string(ident, ident + 16));
    EXPECT_EQ((std::vector<Bytes>{B({0x02, 0x00, 0x03, 0x46, '0', '1', 0x03, 0x45}), B({5, 0x46}),
                                  B({0x02, 0x00, 0x03, 0x46, '0', '0', 0x03, 0x44}), B({5, 0x46})}),
              line->Writes());
    EXPECT_EQ((std::vector<uint32_t>{5, 6, 5, 6}), line->LineControls());
    EXPECT_EQ((Texts{"M:01/5000", "M:00/5000"}), Transcript());
    EXPECT_EQ(2, line->Purges());

    // "Q0" goes out as 02 00 03 46 51 30 03 25; mode 5 is sent as "P0".
    line->events.clear();
    Module("PQ0");
    Module("PP0");
    Module("PS0");
    uint32_t bits = 99;
    EXPECT_EQ(0, m.iGetModuleStatus(&bits, &r));
    EXPECT_EQ(Hex(B({0x02, 0x00, 0x03, 0x46, 'Q', '0', 0x03, 0x25})), Hex(line->Writes()[0]));
    EXPECT_EQ(0, m.iSetMode(5, &r));
    EXPECT_EQ(0, m.iSetMode(2, &r));
    EXPECT_EQ((Texts{"M:Q0/2000", "M:P0/10000", "M:S0/10000"}), Transcript());
}

TEST_F(ModuleA, SilenceNoAckAndReplies) {
    struct Row {
        std::string name;
        std::vector<Bytes> answers; // to the frame, to ENQ A
        int code;
        bool enq;
        std::vector<uint32_t> lineControls;
    } rows[] = {
        // clang-format off
        {"silence: absent, DTR left raised", {}, 1226, false, {5}},
        {"15 46 instead of ACK A", {B({0x15, 0x46})}, 1222, false, {5, 6}},
        {"a single byte", {B({0x06})}, 1222, false, {5, 6}},
        {"no frame after ENQ", {kAckA, B("garbage")}, 1222, true, {5, 6}},
        {"letters without a frame", {kAckA, B("PPPP")}, 1222, true, {5, 6}},
        {"unknown kind", {kAckA, FrameM(B("QP1"))}, 1222, true, {5, 6}},
        {"noise before the frame", {kAckA, Cat({B("zz"), FrameM(B("PP1"))})}, 0, true, {5, 6}},
        // Without ETX in place, the frame counts once its check byte matches.
        {"no ETX, check byte right", {kAckA, B({0x02, 0, 3, 0x46, 'P', '1', 'Z', 0x7C})}, 0, true, {5, 6}},
        {"no ETX, check byte wrong", {kAckA, B({0x02, 0, 3, 0x46, 'P', '1', 'Z', 0x7D})}, 1222, true, {5, 6}},
        // clang-format on
    };
    // Negative replies: the error byte, mapped.
    const std::pair<int, int> errors[] = {{0x00, 1266}, {0x01, 1224}, {0x02, 1268}, {0x03, 1267},
                                          {0x04, 1231}, {0x80, 1261}, {0x81, 1299}, {0x55, 1221}};
    std::vector<Row> all(std::begin(rows), std::end(rows));
    for (const auto& e : errors)
        all.push_back(
            {"negative", {kAckA, FrameM(Cat({B("NP1"), B({e.first})}))}, e.second, true, {5, 6}});
    line->responder = nullptr;
    for (const Row& row : all) {
        SCOPED_TRACE(row.name + std::to_string(row.code));
        line->vClear();
        for (const Bytes& b : row.answers)
            line->vOnWrite(b);
        tDevReturn r = Rec();
        EXPECT_EQ(row.code == 0 ? 0 : 1, m.iSetMode(1, &r));
        EXPECT_RECORD(r, row.code, row.code == 0 ? 0 : 1);
        EXPECT_EQ(row.enq ? 2u : 1u, line->Writes().size());
        EXPECT_EQ(row.lineControls, line->LineControls());
    }

    // Status bits from characters 3 to 7 of the "Q0" reply.
    struct Bits {
        const char* sensors;
        uint32_t bits;
    } bitRows[] = {{"11000", 7}, {"01111", 0}, {"11111", 1},
                   {"00101", 2}, {"00110", 4}, {"11011", 3}};
    line->responder = [this](const Bytes& w) { return Answer(w); };
    for (const Bits& row : bitRows) {
        SCOPED_TRACE(row.sensors);
        Module(std::string("PQ0") + row.sensors);
        tDevReturn r = Rec();
        uint32_t bits = 99;
        EXPECT_EQ(0, m.iGetModuleStatus(&bits, &r));
        EXPECT_EQ(row.bits, bits);
    }
    // A failed query leaves the bits alone.
    tDevReturn r = Rec();
    uint32_t bits = 99;
    EXPECT_EQ(1, m.iGetModuleStatus(&bits, &r));
    EXPECT_EQ(99u, bits);
    EXPECT_RECORD(r, 1226, 1);
}

// The module stops at ETX and leaves its check byte on the line; the reader's
// next exchange must not take it for its acknowledgement.
TEST_F(ModuleA, CheckByteAfterEtxDoesNotDisturbTheNextExchange) {
    OSerialReaderA a(&comm);
    Module("PQ011000");
    tDevReturn r = Rec();
    uint32_t bits = 0;
    EXPECT_EQ(0, m.iGetModuleStatus(&bits, &r));
    EXPECT_EQ(1u, line->pending.size()); // the check byte, not read

    line->events.clear();
    Reader("P4000");
    uint8_t reply[16];
    uint32_t len = sizeof reply;
    EXPECT_EQ(0, a.iExecCommand(reinterpret_cast<const uint8_t*>("C40"), 3, reply, &len, &r, 5000));
    EXPECT_RECORD(r, 1201, 0);
    EXPECT_EQ((std::vector<Bytes>{FrameA(B("C40")), kEnq}), line->Writes());
}

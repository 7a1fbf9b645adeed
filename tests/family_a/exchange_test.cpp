#include "support/scripted_reader.h"

#include <functional>

class ExchangeA : public ReaderA {
protected:
    int Run(const Bytes& text, uint32_t replySize = 64) {
        std::memset(reply, 0xEE, sizeof reply);
        len = replySize;
        rec = Rec();
        return Into(
            a.tExecCommand(text.data(), static_cast<uint32_t>(text.size()), reply, &len, 7000),
            rec);
    }
    const Bytes kNak = B({0x10, 0x15}), kEot = B({0x10, 0x04});
    uint8_t reply[64];
    uint32_t len = 0;
    tDevReturn rec;
};

// Stale input dropped, the frame, ACK awaited, ENQ, and the reply frame taken as it has
// arrived, here in one read that waits with the command's time-out; no DLE EOT after it. DLE
// ETX inside the reply data is data, even when the byte after it matches the check so far.
TEST_F(ExchangeA, FramesAndTakesTheReplyAsItArrives) {
    const uint8_t check = Xor(B({'P', '4', '0', '0', '0', 'A', 0x10}), 0x03);
    const Bytes data = B({'A', 0x10, 0x03, check, 'B'});
    reader.push_back(Cat({B("P4000"), data}));
    EXPECT_EQ(0, Run(B("C40")));
    EXPECT_RECORD(rec, 1201, 0);
    EXPECT_EQ("P4000x", std::string(rec.acReplyText, 6)); // only the header is written
    EXPECT_EQ(Hex(data), Hex(Bytes(reply, reply + len)));
    const auto& ev = line->events;
    ASSERT_EQ(5u, ev.size());
    EXPECT_EQ(LineEvent::Purge, ev[0].kind);
    EXPECT_EQ("10 02 43 34 30 10 03 44", Hex(ev[1].data));
    EXPECT_EQ(std::make_pair(size_t{2}, 3000u), std::make_pair(ev[2].uiWanted, ev[2].uiValue));
    EXPECT_EQ(Hex(kEnq), Hex(ev[3].data));
    EXPECT_EQ(std::make_pair(LineEvent::Read, 7000u), std::make_pair(ev[4].kind, ev[4].uiValue));
    EXPECT_EQ(Hex(FrameA(Cat({B("P4000"), data}))), Hex(ev[4].data));
}

TEST_F(ExchangeA, HandshakeRefusalsSilenceAndBrokenReplies) {
    // Answers to the successive writes; reply buffer size; code; frames sent; ENQ, EOT sent.
    // clang-format off
    using Row = std::tuple<const char*, Bytes, std::vector<Bytes>, uint32_t, int, int, bool, bool>;
    const Row rows[] = {
        {"two refusals, then ACK", B("C40"), {kNak, B({0x15}), kAck, FrameA(B("P4000"))}, 64, 1201, 3, true, false},
        {"three refusals", B("C40"), {kNak, kNak, B({0x10})}, 64, 1224, 3, false, false},
        {"silence", B("C40"), {}, 64, 1225, 1, false, false},
        {"reply byte missing", B("C40"), {kAck, B({0x10, 0x02, 'P', '4'})}, 64, 1299, 1, true, true},
        {"reply text of 4 bytes", B("C40"), {kAck, FrameA(B("P400"))}, 64, 1299, 1, true, true},
        {"reply data beyond the buffer", B("C40"), {kAck, FrameA(B("P4000123456789"))}, 8, 1299, 1, true, true},
        {"reply data filling the buffer", B("C40"), {kAck, FrameA(B("P400012345678"))}, 8, 1201, 1, true, false},
        {"frame of 512 bytes", Bytes(507, 'A'), {kAck, FrameA(B("P4000"))}, 64, 1201, 1, true, false},
        {"frame of 513 bytes, DLEs counted twice", Bytes(254, 0x10), {kAck}, 64, 1224, 0, false, false},
    };
    // clang-format on
    for (const auto& [name, text, answers, size, code, frames, enq, eot] : rows) {
        SCOPED_TRACE(name);
        Script(answers);
        const int fail = code == 1201 ? 0 : 1;
        EXPECT_EQ(fail, Run(text, size));
        EXPECT_RECORD(rec, code, fail);
        std::vector<Bytes> expected(static_cast<size_t>(frames), FrameA(text));
        if (enq)
            expected.push_back(kEnq);
        if (eot)
            expected.push_back(kEot);
        EXPECT_EQ(expected, line->Writes());
        EXPECT_EQ(frames, line->Purges()); // stale input dropped before every frame
        if (fail) {
            EXPECT_EQ(std::make_tuple(0u, 0xEE, 'x'),
                      std::make_tuple(len, int{reply[0]}, rec.acReplyText[0]));
        }
    }
}

// The reply's code decides result and flags; the record shows the reply's header only.
// A few rows of the map that matter: ranges counted in order, shared codes, a positive kind
// that fails, and what the map lacks.
TEST_F(ExchangeA, ReplyStatusDecidesResultAndFlags) {
    const std::pair<const char*, int> rows[] = {
        {"P4000", 1201}, {"P4010", 1206}, {"P4023", 1211}, {"P4030", 1212}, {"P4031", 1213},
        {"N4000", 1266}, {"N4087", 1273}, {"X4000", 1221}, {"N4019", 1292}, {"N401F", 1237},
        {"N4072", 1227}, {"P4003", 1221}, {"N401e", 1221},
    };
    for (const auto& [text, code] : rows) {
        SCOPED_TRACE(text);
        Reader(text);
        const int flag = code == 1211 || code > 1213 ? 1 : 0;
        EXPECT_EQ(flag, Run(B("C40")));
        EXPECT_RECORD(rec, code, flag);
        EXPECT_EQ(std::string(text) + "x", std::string(rec.acReplyText, 6));
    }
}

// ----------------------------------------------------- auxiliary module

using ModuleA = ReaderA;

// The module leaves the check byte after ETX unread; the reader's next exchange is unaffected.
TEST_F(ModuleA, FramesIdentificationDtrAndTheCheckByteLeftBehind) {
    Module("P01");
    Module("P00hdr45MOD-ID-0042tail");
    tDevReturn r = Rec();
    uint8_t ident[16];
    std::memset(ident, '.', sizeof ident);
    EXPECT_EQ(0, Coded(m.eInitModule(ident, sizeof ident), r));
    EXPECT_RECORD(r, 0, 0);
    EXPECT_EQ("MOD-ID-0042.....", std::string(ident, ident + 16));
    EXPECT_EQ((std::vector<Bytes>{B({2, 0, 3, 0x46, '0', '1', 3, 0x45}), B({5, 0x46}),
                                  B({2, 0, 3, 0x46, '0', '0', 3, 0x44}), B({5, 0x46})}),
              line->Writes());
    EXPECT_EQ((std::vector<uint32_t>{5, 6, 5, 6}), line->LineControls());
    EXPECT_EQ((Texts{"M:01/5000", "M:00/5000"}), Transcript());
    EXPECT_EQ(2, line->Purges());

    line->events.clear();
    Module("PP0");
    Module("PQ011000");
    Reader("P4000");
    uint32_t bits = 99;
    EXPECT_EQ(0, Coded(m.eSetMode(5), r));
    EXPECT_EQ(0, Coded(m.eGetModuleStatus(&bits), r));
    EXPECT_EQ(1u, line->pending.size());
    uint8_t reply[16];
    uint32_t len = sizeof reply;
    EXPECT_EQ(0, Into(a.tExecCommand(B("C40").data(), 3, reply, &len, 5000), r));
    EXPECT_RECORD(r, 1201, 0);
    EXPECT_EQ(Hex(B({2, 0, 3, 0x46, 'Q', '0', 3, 0x25})), Hex(line->Writes()[2]));
    EXPECT_EQ((Texts{"M:P0/10000", "M:Q0/2000", "C40/5000"}), Transcript());
}

// The module's acknowledgement (ACK A) gets 2000 ms for both bytes: an A that
// comes later is no acknowledgement, and no ENQ is sent.
TEST_F(ModuleA, TheAcknowledgementGetsTwoSecondsInAll) {
    VirtualClock clock;
    line->pClock = &clock;
    // ACK after 1500 ms, A that much later: 2500 ms in all, or 1900.
    for (const auto& [dripMs, enq] : {std::pair<uint32_t, bool>{1000, false}, {400, true}}) {
        SCOPED_TRACE(dripMs);
        Script({B({0x06, 0x46})});
        line->uiReplyDelayMs = 1500;
        line->uiDripMs = dripMs;
        quillon::OAuxModule::tData data;
        m.tExecCommand("Q0", 2000, data);
        EXPECT_EQ(enq ? 2u : 1u, line->Writes().size());
    }
    line->pClock = nullptr;
}

TEST_F(ModuleA, SilenceNoAckRepliesAndStatusBits) {
    // Answers to the frame and to ENQ A; code; ENQ A sent.
    using Row = std::tuple<std::string, std::vector<Bytes>, int, bool>;
    // clang-format off
    std::vector<Row> all = {
        {"silence: DTR left raised", {}, 1226, false},
        {"no ACK: received anyway", {Cat({B({0x15, 0x46}), FrameModule(B("PP1"))})}, 0, false},
        {"no frame after ENQ", {kAckM, B("garbage")}, 1222, true},
        {"unknown kind", {kAckM, FrameModule(B("QP1"))}, 1222, true},
        {"no ETX, check byte right", {kAckM, B({0x02, 0, 3, 0x46, 'P', '1', 'Z', 0x7C})}, 0, true},
        {"no ETX, check byte wrong", {kAckM, B({0x02, 0, 3, 0x46, 'P', '1', 'Z', 0x7D})}, 1222, true},
    };
    // clang-format on
    // clang-format off
    for (const auto& [error, code] : std::vector<std::pair<int, int>>{{0x00, 1266}, {0x01, 1224},
             {0x02, 1268}, {0x03, 1267}, {0x04, 1231}, {0x80, 1261}, {0x81, 1299}, {0x55, 1221}})
        all.push_back({"error byte", {kAckM, FrameModule(B({'N', 'P', '1', error}))}, code, true});
    // clang-format on
    for (const auto& [name, answers, code, enq] : all) {
        SCOPED_TRACE(name + std::to_string(code));
        Script(answers);
        tDevReturn r = Rec();
        EXPECT_EQ(code == 0 ? 0 : 1, Coded(m.eSetMode(1), r));
        EXPECT_RECORD(r, code, code == 0 ? 0 : 1);
        EXPECT_EQ(enq ? 2u : 1u, line->Writes().size());
        EXPECT_EQ((code == 1226 ? std::vector<uint32_t>{5} : std::vector<uint32_t>{5, 6}),
                  line->LineControls());
    }

    // Status bits from characters 3 to 7 of the "Q0" reply; a failed query leaves them.
    line->responder = [this](const Bytes& w) { return Answer(w); };
    const std::pair<const char*, uint32_t> bitRows[] = {{"11000", 7}, {"01111", 0}, {"11111", 1},
                                                        {"00101", 2}, {"00110", 4}, {nullptr, 99}};
    for (const auto& [sensors, expected] : bitRows) {
        if (sensors)
            Module(std::string("PQ0") + sensors);
        tDevReturn r = Rec();
        uint32_t bits = 99;
        EXPECT_EQ(sensors ? 0 : 1, Coded(m.eGetModuleStatus(&bits), r));
        EXPECT_EQ(expected, bits);
    }
}

// An operation writes its record once: the code of its last exchange beside the reply text
// of the last exchange that brought one (a silent reader writes no text).
TEST_F(ExchangeA, RecordTellsTheLastCodeAndTheLastReplyText) {
    // Replies ("" silent); operation; code; start of the reply text area.
    using Row = std::tuple<Texts, std::function<int(tDevReturn*)>, int, std::string>;
    tIdcStatus s;
    uint32_t count = 0;
    // clang-format off
    const Row rows[] = {
        {{"P1100" "00000000" "1"}, [&](tDevReturn* r) { return Into(a.GetStatus(&s), *r); }, 1225, "P1100x"},
        {{"P0000"}, [&](tDevReturn* r) { return Into(a.Init(1), *r); }, 1225, "P0000x"},
        {{"N0010", "P0000123"}, [&](tDevReturn* r) { return Into(a.RetainCard(&count), *r); }, 1283,
         "N0010x"}, // the counter's own record stays apart
    };
    // clang-format on
    for (const auto& [replies, operation, code, text] : rows) {
        SCOPED_TRACE(text);
        Replies(replies);
        tDevReturn r = Rec();
        EXPECT_EQ(1, operation(&r));
        EXPECT_RECORD(r, code, 1);
        EXPECT_EQ(text, std::string(r.acReplyText, text.size()));
    }
}

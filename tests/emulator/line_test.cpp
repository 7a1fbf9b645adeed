// Framing, check bytes and handshakes of every family, byte for byte.
#include "host.h"

using namespace quillon::emu;
using namespace quillon::emu::test;

TEST(Frames, CommandFramesAreByteExact) {
    struct Row {
        const char* name;
        Bytes got, want;
    } rows[] = {
        {"A C40", FrameA("C40"), B({0x10, 0x02, 0x43, 0x34, 0x30, 0x10, 0x03, 0x44})},
        {"A DLE doubled, counted once", FrameA(B({'C', 'F', '0', 0x10, 0x20})),
         B({0x10, 0x02, 0x43, 0x46, 0x30, 0x10, 0x10, 0x20, 0x10, 0x03, 0x06})},
        {"module Q0", FrameModule("Q0"), B({0x02, 0x00, 0x03, 0x46, 0x51, 0x30, 0x03, 0x25})},
        {"module 01", FrameModule("01"), B({0x02, 0x00, 0x03, 0x46, 0x30, 0x31, 0x03, 0x45})},
        {"module 00", FrameModule("00"), B({0x02, 0x00, 0x03, 0x46, 0x30, 0x30, 0x03, 0x44})},
        {"B C11", FrameB("C11"), B({0xF2, 0x00, 0x03, 0x43, 0x31, 0x31, 0xD5, 0x0B})},
        {"C 00", FrameC("00"), B({0x02, 0x00, 0x02, 0x30, 0x30, 0x03, 0x03})},
        {"C 10", FrameC("10"), B({0x02, 0x00, 0x02, 0x31, 0x30, 0x03, 0x02})},
        {"C 93 with a chip command", FrameC(B({'9', '3', 0x00, 0x02, 0xAA, 0xBB})),
         B({0x02, 0x00, 0x06, 0x39, 0x33, 0x00, 0x02, 0xAA, 0xBB, 0x03, 0x1E})},
        {"C reply P to 10", FrameC("P10"), B({0x02, 0x00, 0x03, 0x50, 0x31, 0x30, 0x03, 0x53})},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Hex(r.want), Hex(r.got)) << r.name;
}

TEST(Frames, Crc16XmodemCheckValue) {
    const Bytes digits = ToBytes("123456789");
    EXPECT_EQ(0x31C3, Crc16Xmodem(digits.data(), digits.size()));
    EXPECT_EQ(0x0000, Crc16Xmodem(nullptr, 0));
}

// The command frames as the host sends them, and the reader's answer to
// each, byte for byte (no card in the reader).
TEST(Line, QuotedFramesGetTheirAcknowledgementAndReply) {
    struct Row {
        const char* name;
        Family family;
        Bytes frame, ack, request, reply;
    } rows[] = {
        {"A C40", Family::A, B({0x10, 0x02, 0x43, 0x34, 0x30, 0x10, 0x03, 0x44}), B({0x10, 0x06}),
         B({0x10, 0x05}), B({0x10, 0x02, 0x50, 0x34, 0x30, 0x30, 0x30, 0x10, 0x03, 0x57})},
        {"module 01", Family::A, B({0x02, 0x00, 0x03, 0x46, 0x30, 0x31, 0x03, 0x45}),
         B({0x06, 0x46}), B({0x05, 0x46}),
         B({0x02, 0x00, 0x04, 0x46, 0x50, 0x30, 0x31, 0x03, 0x12})},
        {"B C11", Family::B, B({0xF2, 0x00, 0x03, 0x43, 0x31, 0x31, 0xD5, 0x0B}),
         B({0x06, 0xF2, 0x00, 0x05, 0x50, 0x31, 0x31, 0x30, 0x30, 0x0F, 0x16}), B({0x06}), B({})},
        {"C 10", Family::C, B({0x02, 0x00, 0x02, 0x31, 0x30, 0x03, 0x02}), B({0x06}), B({0x05}),
         B({0x02, 0x00, 0x04, 0x50, 0x31, 0x30, 0x35, 0x03, 0x61})},
    };
    for (const Row& r : rows) {
        Host h(r.family);
        EXPECT_EQ(Hex(r.ack), Hex(h.Send(r.frame))) << r.name;
        EXPECT_EQ(Hex(r.reply), Hex(h.Send(r.request))) << r.name;
        EXPECT_EQ(1, h.engine->stats().frames) << r.name;
    }
}

TEST(Line, WrongCheckByteIsRefusedAndNotExecuted) {
    struct Row {
        Family family;
        Bytes frame, refusal;
    } rows[] = {
        {Family::A, FrameA("C30"), B({0x10, 0x15})},
        {Family::A, FrameModule("P1"), B({0x15, 0x46})},
        {Family::B, FrameB("C30"), B({0x15})},
        {Family::C, FrameC("32"), B({0x15})},
    };
    for (Row& r : rows) {
        Host h(r.family);
        h.m().PlaceCard(CardPosition::Inside);
        r.frame.back() ^= 0x01;
        EXPECT_EQ(Hex(r.refusal), Hex(h.Send(r.frame)));
        EXPECT_EQ(CardPosition::Inside, h.m().Position());
        EXPECT_TRUE(h.engine->Log().empty());
        EXPECT_EQ(1, h.engine->stats().badFrames);
    }
}

// Each fault on its first frame, for every station; the next exchange is clean.
TEST(Line, FaultsShowOnTheLineOnceThenClear) {
    struct Station {
        Family family;
        bool module;
        const char* cmd;
        Bytes refusal;
    } stations[] = {{Family::A, false, "C10", B({0x10, 0x15})},
                    {Family::A, true, "Q0", B({0x15, 0x46})},
                    {Family::B, false, "C11", B({0x15})},
                    {Family::C, false, "10", B({0x15})}};
    enum What { Refused, Nothing, AckOnly, BadCheck, ShortReply };
    struct Fault {
        int Faults::*member;
        What what;
    } faults[] = {{&Faults::refuse, Refused},
                  {&Faults::silent, Nothing},
                  {&Faults::noReply, AckOnly},
                  {&Faults::corruptCheck, BadCheck},
                  {&Faults::dropByte, ShortReply}};
    for (const Station& s : stations) {
        for (const Fault& f : faults) {
            SCOPED_TRACE(std::string(s.cmd) + " fault " + std::to_string(f.what));
            Host h(s.family);
            Faults& target = s.module ? h.engine->Module()->faults : h.engine->ReaderFaults();
            target.*f.member = 1;
            Host::Trip t = h.Raw(ToBytes(s.cmd), s.module);
            Host clean(s.family);
            Host::Trip good = clean.Raw(ToBytes(s.cmd), s.module);
            switch (f.what) {
            case Refused:
                EXPECT_EQ(Hex(s.refusal), Hex(t.ack));
                EXPECT_TRUE(t.reply.empty());
                break;
            case Nothing:
                EXPECT_TRUE(t.ack.empty() && t.reply.empty());
                break;
            case AckOnly:
                EXPECT_EQ(Hex(h.Ack(s.module)), Hex(t.ack));
                EXPECT_TRUE(t.reply.empty());
                break;
            case BadCheck:
                ASSERT_EQ(good.reply.size(), t.reply.size());
                EXPECT_EQ(good.reply.back() ^ 0xFF, t.reply.back());
                break;
            case ShortReply:
                EXPECT_EQ(good.reply.size() - 1, t.reply.size());
                break;
            }
            std::string text;
            Host::Trip again = h.Raw(ToBytes(s.cmd), s.module);
            EXPECT_EQ(Hex(h.Ack(s.module)), Hex(again.ack));
            EXPECT_TRUE(Unframe(s.family, s.module, again.reply, text));
        }
    }
}

TEST(Line, RefusedTwiceThenAcceptedLogsTheCommandOnce) {
    Host h(Family::A);
    h.engine->ReaderFaults().refuse = 2;
    EXPECT_EQ(Hex(B({0x10, 0x15})), Hex(h.Send(FrameA("C11"))));
    EXPECT_EQ(Hex(B({0x10, 0x15})), Hex(h.Send(FrameA("C11"))));
    EXPECT_EQ('P', h.Cmd("C11")[0]);
    EXPECT_EQ(2, h.engine->stats().refused);
    ASSERT_EQ(1u, h.engine->Log().size());
    EXPECT_EQ("C11", h.engine->Log()[0].text);
}

TEST(Line, AbortDropsThePendingReply) {
    Host a(Family::A);
    EXPECT_EQ(Hex(B({0x10, 0x06})), Hex(a.Send(FrameA("C10"))));
    EXPECT_TRUE(a.Send(B({0x10, 0x04})).empty());
    EXPECT_TRUE(a.Send(B({0x10, 0x05})).empty());
    EXPECT_EQ(1, a.engine->stats().aborts);

    Host b(Family::B); // replies go out at once; the host's ACK and cancel are counted
    b.Cmd("C11");
    b.Send(B({0x06, 0x10, 0x04}));
    EXPECT_EQ(1, b.engine->stats().hostAcks);
    EXPECT_EQ(1, b.engine->stats().aborts);
}

TEST(Line, ModuleAbsentAnswersNothingWhileTheReaderAnswers) {
    Host h(Family::A);
    h.engine->Module()->present = false;
    Host::Trip t = h.Raw(ToBytes("01"), true);
    EXPECT_TRUE(t.ack.empty() && t.reply.empty());
    EXPECT_EQ('P', h.Cmd("C10")[0]);
}

// Whatever the host sends, the reader survives it and, once the line has
// been quiet with filler, answers a clean frame again.
TEST(Line, GarbageNeverBreaksTheReader) {
    for (Family f : {Family::A, Family::B, Family::C}) {
        Host h(f);
        h.m().PlaceCard(CardPosition::Inside);
        uint32_t seed = 12345;
        for (int chunk = 0; chunk < 2000; ++chunk) {
            Bytes junk;
            seed = seed * 1664525u + 1013904223u;
            const size_t n = 1 + (seed >> 24) % 64;
            for (size_t i = 0; i < n; ++i) {
                seed = seed * 1664525u + 1013904223u;
                junk.push_back(static_cast<uint8_t>(seed >> 16));
            }
            h.Send(junk);
        }
        h.Send(Bytes(4200, 0x00));
        h.engine->ReaderFaults() = Faults{};
        const std::string reply = h.Cmd(f == Family::C ? "10" : f == Family::B ? "C11" : "C10");
        EXPECT_EQ('P', reply.empty() ? 0 : reply[0]);
    }
}

// Bytes that look like the start of a long frame (another family's probe)
// swallow what follows, until the line has been quiet for a while.
TEST(Line, HalfFrameIsDroppedAfterAPause) {
    struct Row {
        Family family;
        Bytes start;
        const char* cmd;
    } rows[] = {{Family::A, B({0x02, 0x01, 0x00}), "C10"},
                {Family::B, B({0xF2, 0x07, 0xFF}), "C11"},
                {Family::C, B({0x02, 0x03, 0x00}), "10"}};
    for (const Row& r : rows) {
        Host h(r.family);
        h.Send(r.start);
        h.now = 10;
        EXPECT_TRUE(h.Raw(ToBytes(r.cmd)).ack.empty());
        h.now = 10 + Engine::kFrameGap;
        EXPECT_EQ('P', h.Cmd(r.cmd).at(0));
    }
}

// Framing, check bytes, handshakes and faults of every family, byte for byte.
#include "host.h"

using namespace quillon::emu;
using namespace quillon::emu::test;

// On every station: a wrong check byte is refused and the command not run;
// each counted fault shows twice, then a clean exchange; a jam lasts; an
// absent module leaves the reader answering.
TEST(Line, BadFramesAndFaults) {
    const struct {
        Family family;
        bool module;
        const char *move, *refusal, *jammed, *status; // a card move, a status request
    } stations[] = {{Family::A, false, "C30", "10 15", "N3010", "C10"},
                    {Family::A, true, "P1", "15 46", "NP1\x04", "Q0"},
                    {Family::B, false, "C0432400010011", "15", "N0410", "C11"},
                    {Family::C, false, "32", "15", "N32\x0A", "10"}};
    enum What { Refused, Silent, AckOnly, BadCheck, ShortReply };
    const std::pair<What, int Faults::*> kinds[] = {{Refused, &Faults::refuse},
                                                    {Silent, &Faults::silent},
                                                    {AckOnly, &Faults::noReply},
                                                    {BadCheck, &Faults::corruptCheck},
                                                    {ShortReply, &Faults::dropByte}};
    for (const auto& s : stations) {
        SCOPED_TRACE(s.move);
        Bytes cmd = ToBytes(s.move);
        Host w = Reader(s.family, CardPosition::Inside);
        Bytes bad = w.Frame(cmd, s.module);
        bad.back() ^= 0x01;
        EXPECT_EQ(s.refusal, Hex(w.Send(bad)));
        EXPECT_EQ(CardPosition::Inside, w.m().Position());
        EXPECT_TRUE(w.engine->Log().empty());
        EXPECT_EQ(1, w.engine->tStats().badFrames);

        Host j = Reader(s.family, CardPosition::Inside);
        bool& jam = s.module ? j.engine->Module()->jammed : j.m().jam;
        jam = true;
        EXPECT_EQ(s.jammed, j.Cmd(cmd, s.module));
        EXPECT_EQ(s.jammed, j.Cmd(cmd, s.module));
        cmd = ToBytes(s.status);
        for (const auto& [what, member] : kinds) {
            SCOPED_TRACE("fault " + std::to_string(what));
            Host h(s.family);
            const Bytes good = Host(s.family).Raw(cmd, s.module).reply;
            Faults& faults = s.module ? h.engine->Module()->faults : h.engine->ReaderFaults();
            faults.*member = 2; // (in one expression GCC 12 loses the write)
            const size_t size[] = {0, 0, 0, good.size(), good.size() - 1};
            for (int i = 0; i < 2; ++i) {
                const Host::Trip t = h.Raw(cmd, s.module);
                EXPECT_EQ(what == Refused  ? s.refusal
                          : what == Silent ? ""
                                           : Hex(h.Ack(s.module)),
                          Hex(t.ack));
                EXPECT_EQ(size[what], t.reply.size());
                EXPECT_TRUE(what != BadCheck || t.reply.back() == (good.back() ^ 0xFF));
            }
            EXPECT_EQ(Hex(good), Hex(h.Raw(cmd, s.module).reply));
            EXPECT_EQ(what <= Silent ? 1u : 3u, h.engine->Log().size()); // run only when let in
        }
    }
    Host h(Family::A);
    h.engine->Module()->present = false;
    const Host::Trip t = h.Raw(ToBytes("01"), true);
    EXPECT_TRUE(t.ack.empty() && t.reply.empty());
    EXPECT_EQ("P1000", h.Cmd("C10"));
}

TEST(Line, AbortDropsThePendingReply) {
    Host a(Family::A), b(Family::B);
    EXPECT_EQ("10 06", Hex(a.Send(FrameA("C10"))));
    EXPECT_EQ("", Hex(a.Send(H("10 04 10 05"))));
    b.Cmd("C11"); // replies go out at once; the host's ACK and cancel are counted
    b.Send(H("06 10 04"));
    EXPECT_EQ(1, b.engine->tStats().hostAcks);
    EXPECT_EQ(1, a.engine->tStats().aborts);
    EXPECT_EQ(1, b.engine->tStats().aborts);
}

// Random bytes never break a reader: after filler it answers a clean frame.
TEST(Line, GarbageNeverBreaksTheReader) {
    for (Family f : {Family::A, Family::B, Family::C}) {
        const char* cmd = f == Family::A ? "C10" : f == Family::B ? "C11" : "10";
        Host h(f);
        h.m().PlaceCard(CardPosition::Inside);
        uint32_t seed = 12345;
        for (int chunk = 0; chunk < 2000; ++chunk) {
            seed = seed * 1664525u + 1013904223u;
            Bytes junk(1 + (seed >> 24) % 64);
            for (uint8_t& b : junk)
                b = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 16);
            h.Send(junk);
        }
        h.Send(Bytes(4200, 0x00));
        EXPECT_EQ('P', h.Cmd(cmd).at(0)) << cmd;
    }
}

// The start of a long frame (another family's probe) swallows what follows
// until the line has been quiet for a while.
TEST(Line, HalfFrameIsDroppedAfterAPause) {
    const std::tuple<Family, const char*, const char*> rows[] = {{Family::A, "02 01 00", "C10"},
                                                                 {Family::B, "F2 07 FF", "C11"},
                                                                 {Family::C, "02 03 00", "10"}};
    for (const auto& [family, start, cmd] : rows) {
        Host h(family);
        h.Send(H(start));
        h.now = 10;
        EXPECT_TRUE(h.Raw(ToBytes(cmd)).ack.empty()) << cmd;
        h.now = 10 + Engine::kFrameGap;
        EXPECT_EQ('P', h.Cmd(cmd).at(0)) << cmd;
    }
}

// The quoted frames and the reader's answer to each (no card), then what two
// hosts talking at once leave on the line is counted: a reply asked for when
// none waits, a command over a reply not yet fetched, a frame left half-way
// (the line goes quiet, or family A's host starts a new frame in the
// middle). Clean exchanges count nothing. Family B answers at once.
TEST(Line, QuotedFramesAndCutFramesAndHandshakesOutOfTurn) {
    Host b(Family::B);
    EXPECT_EQ("06 F2 00 05 50 31 31 30 30 0F 16", Hex(b.Send(H("F2 00 03 43 31 31 D5 0B"))));
    EXPECT_EQ("", Hex(b.Send(H("06")))); // the host's ACK gets no answer
    const struct {
        Family family;
        bool module;
        const char *frame, *ack, *enq, *reply;
    } rows[] = {
        {Family::A, false, "10 02 43 34 30 10 03 44", "10 06", "10 05",
         "10 02 50 34 30 30 30 10 03 57"},
        {Family::A, true, "02 00 03 46 30 31 03 45", "06 46", "05 46",
         "02 00 04 46 50 30 31 03 12"},
        {Family::C, false, "02 00 02 31 30 03 02", "06", "05", "02 00 04 50 31 30 35 03 61"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.frame);
        Host h(row.family);
        const Bytes frame = H(row.frame);
        const Bytes half(frame.begin(), frame.begin() + 4);
        const Stats& s = h.engine->tStats();
        EXPECT_EQ(row.ack, Hex(h.Send(frame)));
        EXPECT_EQ(row.reply, Hex(h.Send(H(row.enq))));
        EXPECT_EQ(1, s.frames);
        EXPECT_EQ(0, s.cutFrames);
        EXPECT_EQ(0, s.outOfTurn);

        EXPECT_TRUE(h.Send(H(row.enq)).empty());
        EXPECT_EQ(1, s.outOfTurn);
        h.Send(frame);
        h.Send(frame); // the first reply was never fetched
        EXPECT_EQ(2, s.outOfTurn);
        EXPECT_FALSE(h.Send(H(row.enq)).empty());

        h.Send(half);
        h.now += Engine::kFrameGap;
        EXPECT_EQ(row.ack, Hex(h.Send(frame)));
        EXPECT_EQ(1, s.cutFrames);
        if (row.family == Family::A && !row.module) {
            h.Send(H(row.enq));
            h.Send(half);
            EXPECT_EQ(row.ack, Hex(h.Send(frame))); // started over
            EXPECT_EQ(2, s.cutFrames);
        }
        EXPECT_EQ(2, s.outOfTurn);
        EXPECT_EQ(0, s.badFrames);
    }
}

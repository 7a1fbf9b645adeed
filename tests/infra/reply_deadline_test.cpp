// Every serial exchange bounds a whole reply frame: its first byte may take
// the command's time-out, the whole frame that time-out plus the wire time
// of the largest frame the exchange takes (10 bits a byte at the port's
// speed) plus one second. The reader here answers at once, then the reply
// follows: slow to start but whole in time, or dripping a byte at a time,
// each byte within the time-out. Time is virtual and adds up on the clock.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "infra/reader_comm.h"
#include "readers/family_a/aux_module.h"
#include "readers/family_a/serial_reader_a.h"
#include "readers/family_b/serial_reader_b.h"
#include "readers/family_c/exchange_c.h"
#include "support/frames.h"
#include "support/open_port.h"
#include "support/records.h"
#include "support/scripted_line.h"
#include "support/test_env.h"
#include "support/virtual_clock.h"

using namespace quillon;

namespace {
// An exchange that returns its code: the code in the record, the result.
int Noted(quillon::Code eCode, tDevReturn& r) {
    r.iCode2 = quillon::ToInt(eCode);
    return quillon::IsSuccess(eCode) ? 0 : 1;
}

// The answer to one write: sent at once, then the reply.
struct Answer {
    Bytes ack, reply;
};

struct Exchange {
    const char* name;
    uint32_t timeoutMs;
    int okCode, lateCode;          // the family's code of a good reply, and of a missing one
    uint32_t slack9600, slack1200; // wire time of its largest frame plus 1000 ms
    std::function<Answer(const Bytes& written)> reader;
    std::function<int(OReaderComm&, tDevReturn&)> run;
};

const Bytes kData = B("0123456789ABCDEF");

const Exchange kExchanges[] = {
    {"family A", 5000, 1201, 1299, 2067, 9534, // 1024 bytes
     [](const Bytes& w) -> Answer {
         if (w == B({0x10, 0x05}))
             return {{}, FrameA(Cat({B("P4000"), kData}))};
         return {B({0x10, 0x06}), {}};
     },
     [](OReaderComm& comm, tDevReturn& r) {
         OSerialReaderA a(&comm);
         uint8_t reply[64];
         uint32_t len = sizeof reply;
         return Into(a.tExecCommand(B("C40").data(), 3, reply, &len, 5000), r);
     }},
    {"family B", 5000, 1201, 1299, 2067, 9534, // 1024 bytes
     [](const Bytes&) -> Answer {
         return {B({0x06}), FrameB(Cat({B("P1100"), kData}))};
     },
     [](OReaderComm& comm, tDevReturn& r) {
         OSerialReaderB b(&comm);
         uint8_t data[64];
         r.iCode2 = quillon::ToInt(b.tExchange(B("C11").data(), 3, data, sizeof data, 5000).eCode);
         return quillon::IsSuccessCode(r.iCode2) ? 0 : 1;
     }},
    {"family C", 10000, 0, 1299, 2067, 9534, // 1024 bytes
     [](const Bytes& w) -> Answer {
         if (w == B({0x05}))
             return {{}, FrameStx(Cat({B("P10"), kData}))};
         return {B({0x06}), {}};
     },
     [](OReaderComm& comm, tDevReturn& r) {
         quillon::famc::tData data;
         return Noted(quillon::famc::Exchange(&comm, "10", 64, 10000, data).eCode, r);
     }},
    {"auxiliary module", 2000, 0, 1222, 2066, 9525, // 1023 bytes
     [](const Bytes& w) -> Answer {
         if (w == B({0x05, 0x46}))
             return {{}, FrameStx(Cat({B("FPQ0"), kData}))};
         return {B({0x06, 0x46}), {}};
     },
     [](OReaderComm& comm, tDevReturn& r) {
         OAuxModule m(&comm);
         OAuxModule::tData data;
         return Noted(m.tExecCommand("Q0", 2000, data).eCode, r);
     }},
};
} // namespace

TEST(ReplyDeadline, EveryExchangeBoundsTheWholeFrame) {
    for (const uint32_t baud : {9600u, 1200u}) {
        TestEnv env("[CARDREADER]\nPort=/dev/scripted\nBaudRate=" + std::to_string(baud) + "\n");
        VirtualClock clock;
        ScopedScriptedLine line;
        line->pClock = &clock;
        OReaderComm comm(nullptr, "CARDREADER");
        tDevReturn r{};
        ASSERT_EQ(0, OpenPort(comm));

        for (const Exchange& x : kExchanges) {
            // First reply byte after, then one byte every; whole in time.
            const struct {
                uint32_t firstMs, dripMs;
                bool inTime;
            } cases[] = {
                {x.timeoutMs - 1, 50, true},  // slow to start: the first byte has the time-out
                {10, x.timeoutMs - 1, false}, // dripping: the frame's deadline ends it
                {10, x.timeoutMs / 2, false}, // the start in time, the rest after the deadline
            };
            for (const auto& c : cases) {
                SCOPED_TRACE(std::string(x.name) + " at " + std::to_string(baud) +
                             (c.inTime ? " baud, slow start" : " baud, dripping"));
                line->vClear();
                line->responder = [&](const Bytes& w) {
                    const Answer a = x.reader(w);
                    line->uiReplyDelayMs = 0;
                    line->uiDripMs = 0;
                    line->vSend(a.ack);
                    line->uiReplyDelayMs = c.firstMs;
                    line->uiDripMs = c.dripMs;
                    return a.reply;
                };
                const uint64_t start = clock.uiNow();
                r = tDevReturn{};
                const int result = x.run(comm, r);
                const uint64_t took = clock.uiNow() - start;
                const uint64_t deadline = x.timeoutMs + (baud == 9600 ? x.slack9600 : x.slack1200);
                if (c.inTime) {
                    EXPECT_EQ(std::make_pair(0, x.okCode), std::make_pair(result, r.iCode2));
                    EXPECT_TRUE(took > c.firstMs && took < deadline) << took;
                } else {
                    // Failed as a silent reader, not a moment past the deadline.
                    EXPECT_EQ(std::make_pair(1, x.lateCode), std::make_pair(result, r.iCode2));
                    EXPECT_EQ(deadline, took);
                }
            }
        }
    }
}

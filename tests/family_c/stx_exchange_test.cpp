// The exchange family C and the auxiliary module share, on a scripted line
// whose time runs on a virtual clock.
#include <gtest/gtest.h>

#include <utility>

#include "infra/reader_comm.h"
#include "readers/family_a/aux_module.h"
#include "support/open_port.h"
#include "support/scripted_line.h"
#include "support/test_env.h"
#include "support/virtual_clock.h"

using namespace quillon;

// The module's acknowledgement (ACK A) gets 2000 ms for both bytes: an A that
// comes later is no acknowledgement, and no ENQ is sent.
TEST(StxExchange, TheAcknowledgementGetsTwoSecondsInAll) {
    TestEnv env;
    VirtualClock clock;
    ScopedScriptedLine line;
    line->pClock = &clock;
    OReaderComm comm(nullptr, "CARDREADER");
    ASSERT_EQ(0, OpenPort(comm));
    OAuxModule module(&comm);
    // ACK after 1500 ms, A that much later: 2500 ms in all, or 1900.
    for (const auto& [dripMs, enq] : {std::pair<uint32_t, bool>{1000, false}, {400, true}}) {
        SCOPED_TRACE(dripMs);
        line->vClear();
        line->uiReplyDelayMs = 1500;
        line->uiDripMs = dripMs;
        line->responder = [](const Bytes& w) { return w.size() > 2 ? B({0x06, 0x46}) : Bytes{}; };
        OAuxModule::tData data;
        module.tExecCommand("Q0", 2000, data);
        EXPECT_EQ(enq ? 2u : 1u, line->Writes().size());
    }
}

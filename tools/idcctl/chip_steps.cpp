// The chip steps: the chip switched on, reset and off, and APDUs exchanged
// with it, with their answers decoded.
#include <algorithm>
#include <cstdio>

#include "apdu.h"
#include "step_report.h"

namespace idcctl {

void ChipOnStep(Session& s, StepReport& rep) {
    Bytes answer(IDC_CHIP_REPLY_MAX, 0);
    uint32_t len = 0;
    uint32_t type = 255;
    Call(s, rep, "chip-on: activating the chip", [&](tDevReturn* r) {
        return s.api.ChipPower(1, reinterpret_cast<uintptr_t>(answer.data()),
                               reinterpret_cast<uintptr_t>(&len), &type, r);
    });
    ReportChipType(rep, type);
    ReportAnswer(rep, answer, len);
}

void ChipResetStep(Session& s, StepReport& rep) {
    Bytes answer(IDC_CHIP_REPLY_MAX, 0);
    uint32_t len = 0;
    uint32_t type = kNotReported;
    Call(s, rep, nullptr, [&](tDevReturn* r) {
        return s.api.ChipPower(2, reinterpret_cast<uintptr_t>(answer.data()),
                               reinterpret_cast<uintptr_t>(&len), &type, r);
    });
    ReportChipType(rep, type);
    ReportAnswer(rep, answer, len);
}

void ChipOffStep(Session& s, StepReport& rep) {
    uint32_t type = kNotReported;
    Call(s, rep, nullptr, [&](tDevReturn* r) { return s.api.ChipPower(3, 0, 0, &type, r); });
    ReportChipType(rep, type);
}

namespace {

const char* ApduStatusName(ApduStatus st) {
    switch (st) {
    case ApduStatus::Ok:
        return "ok";
    case ApduStatus::ExchangeFailed:
        return "exchange_failed";
    case ApduStatus::NoStatusWord:
        return "no_status_word";
    case ApduStatus::TooManyFollowUps:
        return "too_many_follow_ups";
    }
    return "";
}

// The exchanges of an APDU, each command and response, into the report.
void RecordExchanges(StepReport& rep, const Bytes& apdu, const ApduResult& res) {
    Json turns = Json::Array();
    for (const auto& t : res.turns) {
        rep.lines.push_back("  > " + HexHead(t.command));
        if (t.reply.ok)
            rep.lines.push_back(
                "  < " + (t.reply.data.empty() ? std::string("(nothing)") : HexHead(t.reply.data)));
        Json e = Json::Object();
        e.Set("command", ToHex(t.command));
        e.Set("response", t.reply.ok ? Json(ToHex(t.reply.data)) : Json());
        e.Set("result", t.reply.result);
        e.Set("code", t.reply.code);
        turns.Push(std::move(e));
    }
    Json o = Json::Object();
    o.Set("command", ToHex(apdu));
    o.Set("status", ApduStatusName(res.status));
    o.Set("response", ToHex(res.data));
    const bool hasSw = res.status == ApduStatus::Ok || res.status == ApduStatus::TooManyFollowUps;
    char sw[8];
    std::snprintf(sw, sizeof sw, "%02X%02X", res.sw1, res.sw2);
    o.Set("sw", hasSw ? Json(sw) : Json());
    o.Set("sw_meaning", hasSw ? Json(DescribeSw(res.sw1, res.sw2)) : Json());
    o.Set("exchanges", std::move(turns));
    rep.json.Set("apdu", std::move(o));
}

// The response and its status word in the report's lines.
void DescribeResponse(StepReport& rep, const ApduResult& res, bool followUp) {
    switch (res.status) {
    case ApduStatus::Ok:
        break;
    case ApduStatus::ExchangeFailed:
        return; // the summary carries the library's code
    case ApduStatus::NoStatusWord:
        rep.ok = false;
        rep.lines.push_back("  the response carries no status word");
        return;
    case ApduStatus::TooManyFollowUps:
        rep.ok = false;
        rep.lines.push_back("  the card still asks for more after " +
                            std::to_string(kMaxFollowUps) + " follow-ups; stopped");
        break;
    }
    if (res.data.empty()) {
        rep.lines.push_back("  response: no data");
    } else {
        rep.lines.push_back("  response: " + std::to_string(res.data.size()) + " bytes");
        AddLines(rep, HexDump(res.data, "    "));
    }
    char sw[8];
    std::snprintf(sw, sizeof sw, "%02X%02X", res.sw1, res.sw2);
    rep.lines.push_back(std::string("  SW ") + sw + "  " + DescribeSw(res.sw1, res.sw2));
    if (!followUp && (res.sw1 == 0x61 || res.sw1 == 0x6C))
        rep.lines.push_back("  (--get-response follows this up)");
}

} // namespace

void ApduStep(Session& s, StepReport& rep, const Bytes& apdu, bool followUp, int selector) {
    int lastResult = 1;
    tDevReturn lastRet = FreshRecord();
    bool overflow = false;
    const ChipExchange exchange = [&](const Bytes& command) {
        Bytes reply(IDC_CHIP_REPLY_MAX, 0);
        uint32_t len = 0;
        lastRet = FreshRecord();
        lastResult = s.api.ChipIO(selector, command.data(), static_cast<int>(command.size()),
                                  reply.data(), &len, &lastRet);
        overflow = overflow || len > reply.size();
        ChipReply r;
        r.ok = lastResult == 0;
        r.result = lastResult;
        r.code = lastRet.iCode1;
        r.data.assign(reply.begin(), reply.begin() + std::min<size_t>(len, reply.size()));
        return r;
    };
    const ApduResult res = TransmitApdu(exchange, apdu, followUp);
    RecordCall(rep, lastResult, lastRet);
    RecordExchanges(rep, apdu, res);
    if (overflow)
        rep.lines.push_back("  the library reported more reply bytes than the buffer holds");
    DescribeResponse(rep, res, followUp);
}

} // namespace idcctl

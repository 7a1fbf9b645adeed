// What the steps of the subcommands share: the record written before each
// call, the outcome of a call in the report, the chip's answers decoded; and
// the chip steps (chip_steps.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "commands.h"
#include "hex.h"

namespace idcctl {

// Written into the record before each call: a code still holding it after
// the call means that the library did not write the record.
constexpr int32_t kUnwritten = -1;
// Passed where the library may or may not write a value back.
constexpr uint32_t kNotReported = 0xFFFFFFFFu;

tDevReturn FreshRecord();
// The outcome of one library call into the report.
void RecordCall(StepReport& rep, int result, const tDevReturn& ret);
// One library call that fills a tDevReturn. A `waiting` text marks a call
// that may take long: it shows the progress line.
int Call(Session& s, StepReport& rep, const char* waiting,
         const std::function<int(tDevReturn*)>& fn);
void AddLines(StepReport& rep, const std::vector<std::string>& lines);
void ReportChipType(StepReport& rep, uint32_t type);
// The answer to reset the library put into `buf`, decoded.
void ReportAnswer(StepReport& rep, const Bytes& buf, uint32_t len);

void ChipOnStep(Session& s, StepReport& rep);
void ChipResetStep(Session& s, StepReport& rep);
void ChipOffStep(Session& s, StepReport& rep);
// One APDU to the chip, with the follow-ups the card asks for when followUp.
void ApduStep(Session& s, StepReport& rep, const Bytes& apdu, bool followUp, int selector);

} // namespace idcctl

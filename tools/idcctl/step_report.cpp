#include "step_report.h"

#include <algorithm>
#include <cstring>

#include "atr.h"
#include "progress.h"
#include "records.h"

namespace idcctl {

tDevReturn FreshRecord() {
    tDevReturn r;
    std::memset(&r, 0, sizeof r);
    r.iCode1 = r.iCode2 = r.iErrFlag1 = r.iErrFlag2 = kUnwritten;
    return r;
}

// The outcome of one library call into the report.
void RecordCall(StepReport& rep, int result, const tDevReturn& ret) {
    rep.ok = result == 0;
    Json& j = rep.json;
    j.Set("result", result);
    std::string info = "result " + std::to_string(result);
    if (ret.iCode1 == kUnwritten && ret.iCode2 == kUnwritten) {
        j.Set("code", Json());
        j.Set("code_class", Json());
        j.Set("code_meaning", Json());
        j.Set("error_flag", Json());
        info += ", record not written";
    } else {
        const int code = ret.iCode1;
        const std::string meaning = CodeMeaning(code);
        j.Set("code", code);
        j.Set("code_class", CodeIsSuccess(code) ? "success" : "failure");
        j.Set("code_meaning", meaning.empty() ? Json() : Json(meaning));
        j.Set("error_flag", ret.iErrFlag1);
        info += ", code " + std::to_string(code);
        if (!meaning.empty())
            info += " \"" + meaning + "\"";
    }
    const std::string_view reply = FieldText(ret.acReplyText, sizeof ret.acReplyText);
    if (!reply.empty()) {
        j.Set("reply_text", Printable(reply));
        info += ", reply \"" + Printable(reply) + "\"";
    } else {
        j.Set("reply_text", Json());
    }
    rep.callInfo = info;
}

// One library call that fills a tDevReturn. A `waiting` text marks a call
// that may take long: it shows the progress line.
int Call(Session& s, StepReport& rep, const char* waiting,
         const std::function<int(tDevReturn*)>& fn) {
    tDevReturn ret = FreshRecord();
    int result = 0;
    RunWithProgress(waiting ? waiting : "", waiting && s.progress, s.err,
                    [&] { result = fn(&ret); });
    RecordCall(rep, result, ret);
    return result;
}

void AddLines(StepReport& rep, const std::vector<std::string>& lines) {
    rep.lines.insert(rep.lines.end(), lines.begin(), lines.end());
}

void ReportChipType(StepReport& rep, uint32_t type) {
    if (type == kNotReported) {
        rep.json.Set("chip_type", Json());
        return;
    }
    const std::string meaning = ChipTypeMeaning(type);
    rep.json.Set("chip_type", type);
    rep.json.Set("chip_type_meaning", meaning);
    rep.lines.push_back("  chip type " + std::to_string(type) + ": " + meaning);
}

// The answer to reset the library put into `buf`, decoded.
void ReportAnswer(StepReport& rep, const Bytes& buf, uint32_t len) {
    if (len > buf.size())
        rep.lines.push_back("  the library reported " + std::to_string(len) +
                            " answer bytes, more than the buffer holds");
    const size_t n = std::min<size_t>(len, buf.size());
    if (n == 0) {
        rep.json.Set("atr", Json());
        if (rep.ok)
            rep.lines.push_back("  no answer to reset");
        return;
    }
    const Atr atr = DecodeAtr(buf.data(), n);
    AddLines(rep, AtrLines(atr));
    rep.json.Set("atr", AtrJson(atr));
}

} // namespace idcctl

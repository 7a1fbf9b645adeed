#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "apdu.h"
#include "atr.h"
#include "demo.h"
#include "hex.h"
#include "progress.h"
#include "records.h"

namespace idcctl {

namespace {

// Written into the record before each call: a code still holding it after
// the call means that the library did not write the record.
constexpr int32_t kUnwritten = -1;
// Passed where the library may or may not write a value back.
constexpr uint32_t kNotReported = 0xFFFFFFFFu;

tDevReturn fresh_record() {
    tDevReturn r;
    std::memset(&r, 0, sizeof r);
    r.iCode1 = r.iCode2 = r.iErrFlag1 = r.iErrFlag2 = kUnwritten;
    return r;
}

// The outcome of one library call into the report.
void record_call(StepReport& rep, int result, const tDevReturn& ret) {
    rep.ok = result == 0;
    Json& j = rep.json;
    j.set("result", result);
    std::string info = "result " + std::to_string(result);
    if (ret.iCode1 == kUnwritten && ret.iCode2 == kUnwritten) {
        j.set("code", Json());
        j.set("code_class", Json());
        j.set("code_meaning", Json());
        j.set("error_flag", Json());
        info += ", record not written";
    } else {
        const int code = ret.iCode1;
        const std::string meaning = code_meaning(code);
        j.set("code", code);
        j.set("code_class", code_is_success(code) ? "success" : "failure");
        j.set("code_meaning", meaning.empty() ? Json() : Json(meaning));
        j.set("error_flag", ret.iErrFlag1);
        info += ", code " + std::to_string(code);
        if (!meaning.empty())
            info += " \"" + meaning + "\"";
    }
    const std::string_view reply = field_text(ret.acReplyText, sizeof ret.acReplyText);
    if (!reply.empty()) {
        j.set("reply_text", printable(reply));
        info += ", reply \"" + printable(reply) + "\"";
    } else {
        j.set("reply_text", Json());
    }
    rep.call_info = info;
}

// One library call that fills a tDevReturn. A `waiting` text marks a call
// that may take long: it shows the progress line.
int call(Session& s, StepReport& rep, const char* waiting,
         const std::function<int(tDevReturn*)>& fn) {
    tDevReturn ret = fresh_record();
    int result = 0;
    run_with_progress(waiting ? waiting : "", waiting && s.progress, s.err,
                      [&] { result = fn(&ret); });
    record_call(rep, result, ret);
    return result;
}

void add_lines(StepReport& rep, const std::vector<std::string>& lines) {
    rep.lines.insert(rep.lines.end(), lines.begin(), lines.end());
}

void report_chip_type(StepReport& rep, uint32_t type) {
    if (type == kNotReported) {
        rep.json.set("chip_type", Json());
        return;
    }
    const std::string meaning = chip_type_meaning(type);
    rep.json.set("chip_type", type);
    rep.json.set("chip_type_meaning", meaning);
    rep.lines.push_back("  chip type " + std::to_string(type) + ": " + meaning);
}

// The answer to reset the library put into `buf`, decoded.
void report_answer(StepReport& rep, const Bytes& buf, uint32_t len) {
    if (len > buf.size())
        rep.lines.push_back("  the library reported " + std::to_string(len) +
                            " answer bytes, more than the buffer holds");
    const size_t n = std::min<size_t>(len, buf.size());
    if (n == 0) {
        rep.json.set("atr", Json());
        if (rep.ok)
            rep.lines.push_back("  no answer to reset");
        return;
    }
    const Atr atr = decode_atr(buf.data(), n);
    add_lines(rep, atr_lines(atr));
    rep.json.set("atr", atr_json(atr));
}

// --- the steps ----------------------------------------------------------------

void status_step(Session& s, StepReport& rep) {
    tIdcStatus st;
    std::memset(&st, 0, sizeof st);
    call(s, rep, nullptr, [&](tDevReturn* r) { return s.api.GetStatus(&st, r); });
    const std::vector<Field> fields = decode_status(st);
    add_lines(rep, field_lines(fields));
    Json raw = Json::array();
    for (uint16_t v : st.usField)
        raw.push(v);
    Json o = Json::object();
    o.set("raw", std::move(raw));
    o.set("fields", fields_json(fields));
    rep.json.set("status", std::move(o));
}

void caps_step(Session& s, StepReport& rep) {
    tIdcCaps caps;
    std::memset(&caps, 0, sizeof caps);
    call(s, rep, nullptr, [&](tDevReturn* r) { return s.api.GetCapabilities(&caps, r); });
    const Capabilities c = decode_caps(caps);
    add_lines(rep, field_lines(c.numbers));
    add_lines(rep, text_field_lines(c.texts));
    Json o = Json::object();
    o.set("fields", fields_json(c.numbers));
    o.set("texts", text_fields_json(c.texts));
    rep.json.set("capabilities", std::move(o));
}

void life_step(Session& s, StepReport& rep) {
    tIdcLife life;
    std::memset(&life, 0, sizeof life);
    call(s, rep, nullptr, [&](tDevReturn* r) { return s.api.GetLifeInfo(&life, r); });
    if (!rep.ok)
        return;
    const std::vector<Field> values = decode_life(life);
    add_lines(rep, field_lines(values));
    Json a = Json::array();
    for (uint32_t v : life.uiValue)
        a.push(v);
    rep.json.set("life", std::move(a));
}

void read_tracks_step(Session& s, StepReport& rep) {
    tIdcTracks t;
    std::memset(&t, 0, sizeof t);
    call(s, rep, "read-tracks: reading", [&](tDevReturn* r) { return s.api.ReadTrack(&t, r); });
    if (!rep.ok)
        return;
    const std::vector<Track> tracks = decode_tracks(t);
    add_lines(rep, track_lines(tracks));
    rep.json.set("tracks", tracks_json(tracks));
}

// Asks the status every 200 ms until it reports the card inside (status
// field 1 = 3), at most `seconds` long: after "accept" the card is only
// taken in once the customer pushes it.
void wait_card(Session& s, StepReport& rep, int seconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(seconds < 1 ? 1 : seconds);
    bool inside = false;
    run_with_progress("wait-card: waiting for the card to come in", s.progress, s.err, [&] {
        while (!inside && Clock::now() < deadline) {
            tIdcStatus st;
            std::memset(&st, 0, sizeof st);
            tDevReturn r = fresh_record();
            inside = s.api.GetStatus(&st, &r) == 0 && st.usField[1] == 3;
            if (!inside)
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    tDevReturn ret = fresh_record();
    tIdcStatus st;
    std::memset(&st, 0, sizeof st);
    record_call(rep, s.api.GetStatus(&st, &ret), ret);
    rep.ok = rep.ok && inside;
    rep.json.set("card_inside", inside);
    rep.lines.push_back(inside ? "  the card is inside"
                               : "  no card came in within " + std::to_string(seconds) + " s");
}

void chip_on_step(Session& s, StepReport& rep) {
    Bytes answer(IDC_CHIP_REPLY_MAX, 0);
    uint32_t len = 0;
    uint32_t type = 255;
    call(s, rep, "chip-on: activating the chip", [&](tDevReturn* r) {
        return s.api.ChipPower(1, reinterpret_cast<uintptr_t>(answer.data()),
                               reinterpret_cast<uintptr_t>(&len), &type, r);
    });
    report_chip_type(rep, type);
    report_answer(rep, answer, len);
}

void chip_reset_step(Session& s, StepReport& rep) {
    Bytes answer(IDC_CHIP_REPLY_MAX, 0);
    uint32_t len = 0;
    uint32_t type = kNotReported;
    call(s, rep, nullptr, [&](tDevReturn* r) {
        return s.api.ChipPower(2, reinterpret_cast<uintptr_t>(answer.data()),
                               reinterpret_cast<uintptr_t>(&len), &type, r);
    });
    report_chip_type(rep, type);
    report_answer(rep, answer, len);
}

void chip_off_step(Session& s, StepReport& rep) {
    uint32_t type = kNotReported;
    call(s, rep, nullptr, [&](tDevReturn* r) { return s.api.ChipPower(3, 0, 0, &type, r); });
    report_chip_type(rep, type);
}

const char* apdu_status_name(ApduStatus st) {
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

void apdu_step(Session& s, StepReport& rep, const Bytes& apdu, bool follow_up, int selector) {
    int last_result = 1;
    tDevReturn last_ret = fresh_record();
    bool overflow = false;
    const ChipExchange exchange = [&](const Bytes& command) {
        Bytes reply(IDC_CHIP_REPLY_MAX, 0);
        uint32_t len = 0;
        last_ret = fresh_record();
        last_result = s.api.ChipIO(selector, command.data(), static_cast<int>(command.size()),
                                   reply.data(), &len, &last_ret);
        overflow = overflow || len > reply.size();
        ChipReply r;
        r.ok = last_result == 0;
        r.result = last_result;
        r.code = last_ret.iCode1;
        r.data.assign(reply.begin(), reply.begin() + std::min<size_t>(len, reply.size()));
        return r;
    };
    const ApduResult res = transmit_apdu(exchange, apdu, follow_up);
    record_call(rep, last_result, last_ret);

    Json turns = Json::array();
    for (const auto& t : res.turns) {
        rep.lines.push_back("  > " + hex_head(t.command));
        if (t.reply.ok)
            rep.lines.push_back("  < " + (t.reply.data.empty() ? std::string("(nothing)")
                                                               : hex_head(t.reply.data)));
        Json e = Json::object();
        e.set("command", to_hex(t.command));
        e.set("response", t.reply.ok ? Json(to_hex(t.reply.data)) : Json());
        e.set("result", t.reply.result);
        e.set("code", t.reply.code);
        turns.push(std::move(e));
    }
    Json o = Json::object();
    o.set("command", to_hex(apdu));
    o.set("status", apdu_status_name(res.status));
    o.set("response", to_hex(res.data));
    const bool has_sw = res.status == ApduStatus::Ok || res.status == ApduStatus::TooManyFollowUps;
    char sw[8];
    std::snprintf(sw, sizeof sw, "%02X%02X", res.sw1, res.sw2);
    o.set("sw", has_sw ? Json(sw) : Json());
    o.set("sw_meaning", has_sw ? Json(describe_sw(res.sw1, res.sw2)) : Json());
    o.set("exchanges", std::move(turns));
    rep.json.set("apdu", std::move(o));

    if (overflow)
        rep.lines.push_back("  the library reported more reply bytes than the buffer holds");
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
        add_lines(rep, hex_dump(res.data, "    "));
    }
    rep.lines.push_back(std::string("  SW ") + sw + "  " + describe_sw(res.sw1, res.sw2));
    if (!follow_up && (res.sw1 == 0x61 || res.sw1 == 0x6C))
        rep.lines.push_back("  (--get-response follows this up)");
}

void retain_step(Session& s, StepReport& rep) {
    uint32_t count = kNotReported;
    call(s, rep, "retain: retaining the card",
         [&](tDevReturn* r) { return s.api.RetainCard(&count, r); });
    if (count == kNotReported) {
        rep.json.set("retain_counter", Json());
        return;
    }
    rep.json.set("retain_counter", count);
    rep.lines.push_back("  retain counter " + std::to_string(count));
}

void name_step(Session& s, StepReport& rep, const std::string& new_name) {
    if (!new_name.empty())
        s.api.SetLogicalDevName(new_name.c_str());
    char buf[256];
    std::memset(buf, 0, sizeof buf);
    s.api.GetLogicalDevName(buf);
    const std::string name(field_text(buf, sizeof buf - 1));
    rep.ok = true;
    rep.call_info = "no result record";
    rep.json.set("name", printable(name));
    rep.lines.push_back("  logical device name \"" + printable(name) + "\"");
}

// --- command line -------------------------------------------------------------

// Every use of `sub` on the command line appends the step that make() builds
// from the arguments of that use; the arguments then go back to their
// defaults, so a subcommand may come more than once.
template <typename Args, typename Make>
void on_use(CLI::App& sub, std::vector<Step>& steps, std::shared_ptr<Args> args, Make make) {
    sub.parse_complete_callback([&sub, &steps, args, make] {
        steps.push_back(Step{sub.get_name(), make(sub, *args)});
        *args = Args{};
        sub.clear();
    });
}

struct NoArgs {};

// A subcommand without arguments that runs `action`.
template <void (*action)(Session&, StepReport&)>
void define_plain(CLI::App& sub, std::vector<Step>& steps) {
    on_use(sub, steps, std::make_shared<NoArgs>(),
           [](CLI::App&, const NoArgs&) { return Action(action); });
}

// A subcommand with one optional integer (default `fallback`) passed to an
// export taking (int, tDevReturn*). The value is not checked here: trying
// what the library refuses is part of trying the library.
template <int (IDC_CALL* IdcApi::*fn)(int, tDevReturn*)>
void define_int_call(CLI::App& sub, std::vector<Step>& steps, const char* arg, const char* help,
                     int fallback, const char* waiting) {
    struct Args {
        int value = 0;
    };
    auto args = std::make_shared<Args>();
    sub.add_option(arg, args->value, help);
    on_use(sub, steps, args, [arg, fallback, waiting](CLI::App& app, const Args& a) {
        const int value = app.get_option(arg)->count() ? a.value : fallback;
        return Action([value, waiting](Session& s, StepReport& rep) {
            call(s, rep, waiting, [&](tDevReturn* r) { return (s.api.*fn)(value, r); });
            rep.json.set("argument", value);
        });
    });
}

template <int (IDC_CALL* IdcApi::*fn)(tDevReturn*)>
void define_record_call(CLI::App& sub, std::vector<Step>& steps, const char* waiting) {
    on_use(sub, steps, std::make_shared<NoArgs>(), [waiting](CLI::App&, const NoArgs&) {
        return Action([waiting](Session& s, StepReport& rep) {
            call(s, rep, waiting, [&](tDevReturn* r) { return (s.api.*fn)(r); });
        });
    });
}

void define_write_track(CLI::App& sub, std::vector<Step>& steps) {
    struct Args {
        int track = 0;
        std::string data;
        bool hex = false;
    };
    auto args = std::make_shared<Args>();
    sub.add_option("track", args->track, "track number: 1, 2 or 3 (required)");
    sub.add_option("data", args->data, "the track's characters (required)");
    sub.add_flag("--hex", args->hex, "DATA is hexadecimal bytes");
    on_use(sub, steps, args, [](CLI::App& app, const Args& a) {
        if (app.get_option("track")->count() == 0)
            throw CLI::RequiredError("write-track: track");
        if (app.get_option("data")->count() == 0)
            throw CLI::RequiredError("write-track: data");
        Bytes data(a.data.begin(), a.data.end());
        if (a.hex) {
            const auto parsed = parse_hex(a.data);
            if (!parsed)
                throw CLI::ValidationError("write-track", "DATA is not hexadecimal bytes");
            data = *parsed;
        }
        const int track = a.track;
        return Action([track, data](Session& s, StepReport& rep) {
            call(s, rep, "write-track: writing", [&](tDevReturn* r) {
                return s.api.WriteTrack(track, data.data(), static_cast<uint32_t>(data.size()), r);
            });
            rep.json.set("track", track);
            rep.json.set("length", data.size());
        });
    });
}

void define_apdu(CLI::App& sub, std::vector<Step>& steps) {
    struct Args {
        std::string hex;
        bool get_response = false;
        int selector = 0;
    };
    auto args = std::make_shared<Args>();
    sub.add_option("hex", args->hex, "the APDU in hexadecimal, e.g. \"00 A4 04 00 00\" (required)");
    sub.add_flag("--get-response", args->get_response,
                 "follow 61xx with GET RESPONSE and 6Cxx with the corrected Le");
    sub.add_option("--selector", args->selector, "first argument of IDC_ChipIO")
        ->capture_default_str();
    on_use(sub, steps, args, [](CLI::App& app, const Args& a) {
        if (app.get_option("hex")->count() == 0)
            throw CLI::RequiredError("apdu: hex");
        const auto apdu = parse_hex(a.hex);
        if (!apdu || apdu->size() < 4)
            throw CLI::ValidationError("apdu", "HEX must be at least four hexadecimal bytes");
        if (apdu->size() > IDC_CHIP_REPLY_MAX)
            throw CLI::ValidationError("apdu", "the APDU is longer than " +
                                                   std::to_string(IDC_CHIP_REPLY_MAX) + " bytes");
        const bool follow = a.get_response;
        const int selector = a.selector;
        return Action([bytes = *apdu, follow, selector](Session& s, StepReport& rep) {
            apdu_step(s, rep, bytes, follow, selector);
        });
    });
}

void define_name(CLI::App& sub, std::vector<Step>& steps) {
    struct Args {
        std::string name;
    };
    auto args = std::make_shared<Args>();
    sub.add_option("new-name", args->name, "set this name first (at most 31 characters)");
    on_use(sub, steps, args, [](CLI::App&, const Args& a) {
        if (a.name.size() > 31)
            throw CLI::ValidationError("name", "at most 31 characters");
        return Action([n = a.name](Session& s, StepReport& rep) { name_step(s, rep, n); });
    });
}

} // namespace

StepReport open_reader(Session& s) {
    StepReport rep;
    rep.command = "open";
    call(s, rep, "open: looking for the reader",
         [&](tDevReturn* r) { return s.api.SetCommPara(r); });
    return rep;
}

StepReport run_step(Session& s, const Step& step) {
    StepReport rep;
    rep.command = step.name;
    rep.json.set("command", step.name);
    rep.json.set("ok", false);
    step.action(s, rep);
    rep.json.set("ok", rep.ok);
    rep.summary = step.name + ": " + (rep.ok ? "ok" : "FAILED") +
                  (rep.call_info.empty() ? "" : "  (" + rep.call_info + ")");
    return rep;
}

const std::vector<CommandSpec>& command_table() {
    static const std::vector<CommandSpec> table = {
        {"status", "read the reader status (IDC_GetStatus)", define_plain<status_step>},
        {"init", "initialise the reader (IDC_Init); MODE 1, 2 or 3, default 1",
         [](CLI::App& sub, std::vector<Step>& steps) {
             define_int_call<&IdcApi::Init>(sub, steps, "mode", "initialisation mode", 1,
                                            "init: initialising");
         }},
        {"accept", "let a card in (IDC_AcceptCard); MODE 1 to 6, default 1",
         [](CLI::App& sub, std::vector<Step>& steps) {
             define_int_call<&IdcApi::AcceptCard>(sub, steps, "mode", "card-entry mode", 1,
                                                  "accept: waiting for a card");
         }},
        {"wait-card", "wait until the card is inside (IDC_GetStatus); SECONDS default 30",
         [](CLI::App& sub, std::vector<Step>& steps) {
             struct Args {
                 int seconds = 30;
             };
             auto args = std::make_shared<Args>();
             sub.add_option("seconds", args->seconds, "longest wait in seconds");
             on_use(sub, steps, args, [](CLI::App&, const Args& a) {
                 const int seconds = a.seconds;
                 return Action([seconds](Session& s, StepReport& rep) { wait_card(s, rep, seconds); });
             });
         }},
        {"read-tracks", "read the three magnetic tracks (IDC_ReadTrack)",
         define_plain<read_tracks_step>},
        {"write-track", "write one magnetic track (IDC_WriteTrack)", define_write_track},
        {"chip-on", "activate the chip and decode its answer to reset (IDC_ChipPower 1)",
         define_plain<chip_on_step>},
        {"chip-reset", "reset the chip again (IDC_ChipPower 2)", define_plain<chip_reset_step>},
        {"chip-off", "switch the chip off (IDC_ChipPower 3)", define_plain<chip_off_step>},
        {"apdu", "send an APDU to the chip (IDC_ChipIO)", define_apdu},
        {"eject", "hand the card back (IDC_EjectCard)",
         [](CLI::App& sub, std::vector<Step>& steps) {
             define_record_call<&IdcApi::EjectCard>(sub, steps, "eject: ejecting");
         }},
        {"retain", "take the card into the bin (IDC_RetainCard)", define_plain<retain_step>},
        {"life", "read the life counters (IDC_GetLifeInfo)", define_plain<life_step>},
        {"caps", "read the capabilities (IDC_GetCapabilities)", define_plain<caps_step>},
        {"reset-count", "reset the retain counter (IDC_ResetCount); COUNTER default 0",
         [](CLI::App& sub, std::vector<Step>& steps) {
             define_int_call<&IdcApi::ResetCount>(sub, steps, "counter", "counter number", 0,
                                                  nullptr);
         }},
        {"release", "release the anti-fishing guard (IDC_ReleaseAntiFishing)",
         [](CLI::App& sub, std::vector<Step>& steps) {
             define_record_call<&IdcApi::ReleaseAntiFishing>(sub, steps, nullptr);
         }},
        {"reset", "reset the device (IDC_Reset)",
         [](CLI::App& sub, std::vector<Step>& steps) {
             define_record_call<&IdcApi::Reset>(sub, steps, nullptr);
         }},
        {"name", "show the logical device name, or set it first (IDC_Get/SetLogicalDevName)",
         define_name},
        {"demo", "a card's visit to an emulated reader, step by step (POSIX systems)", define_demo},
    };
    return table;
}

} // namespace idcctl

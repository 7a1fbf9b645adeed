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
#include "step_report.h"

namespace idcctl {

namespace {

// --- the steps ----------------------------------------------------------------

void StatusStep(Session& s, StepReport& rep) {
    tIdcStatus st;
    std::memset(&st, 0, sizeof st);
    Call(s, rep, nullptr, [&](tDevReturn* r) { return s.api.GetStatus(&st, r); });
    const std::vector<Field> fields = DecodeStatus(st);
    AddLines(rep, FieldLines(fields));
    Json raw = Json::Array();
    for (uint16_t v : st.usField)
        raw.Push(v);
    Json o = Json::Object();
    o.Set("raw", std::move(raw));
    o.Set("fields", FieldsJson(fields));
    rep.json.Set("status", std::move(o));
}

void CapsStep(Session& s, StepReport& rep) {
    tIdcCaps caps;
    std::memset(&caps, 0, sizeof caps);
    Call(s, rep, nullptr, [&](tDevReturn* r) { return s.api.GetCapabilities(&caps, r); });
    const Capabilities c = DecodeCaps(caps);
    AddLines(rep, FieldLines(c.numbers));
    AddLines(rep, TextFieldLines(c.texts));
    Json o = Json::Object();
    o.Set("fields", FieldsJson(c.numbers));
    o.Set("texts", TextFieldsJson(c.texts));
    rep.json.Set("capabilities", std::move(o));
}

void LifeStep(Session& s, StepReport& rep) {
    tIdcLife life;
    std::memset(&life, 0, sizeof life);
    Call(s, rep, nullptr, [&](tDevReturn* r) { return s.api.GetLifeInfo(&life, r); });
    if (!rep.ok)
        return;
    const std::vector<Field> values = DecodeLife(life);
    AddLines(rep, FieldLines(values));
    Json a = Json::Array();
    for (uint32_t v : life.uiValue)
        a.Push(v);
    rep.json.Set("life", std::move(a));
}

void ReadTracksStep(Session& s, StepReport& rep) {
    tIdcTracks t;
    std::memset(&t, 0, sizeof t);
    Call(s, rep, "read-tracks: reading", [&](tDevReturn* r) { return s.api.ReadTrack(&t, r); });
    if (!rep.ok)
        return;
    const std::vector<Track> tracks = DecodeTracks(t);
    AddLines(rep, TrackLines(tracks));
    rep.json.Set("tracks", TracksJson(tracks));
}

// Asks the status every 200 ms until it reports the card inside (status
// field 1 = 3), at most `seconds` long: after "accept" the card is only
// taken in once the customer pushes it.
void WaitCard(Session& s, StepReport& rep, int seconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(seconds < 1 ? 1 : seconds);
    bool inside = false;
    RunWithProgress("wait-card: waiting for the card to come in", s.progress, s.err, [&] {
        while (!inside && Clock::now() < deadline) {
            tIdcStatus st;
            std::memset(&st, 0, sizeof st);
            tDevReturn r = FreshRecord();
            inside = s.api.GetStatus(&st, &r) == 0 && st.usField[1] == 3;
            if (!inside)
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    tDevReturn ret = FreshRecord();
    tIdcStatus st;
    std::memset(&st, 0, sizeof st);
    RecordCall(rep, s.api.GetStatus(&st, &ret), ret);
    rep.ok = rep.ok && inside;
    rep.json.Set("card_inside", inside);
    rep.lines.push_back(inside ? "  the card is inside"
                               : "  no card came in within " + std::to_string(seconds) + " s");
}

void RetainStep(Session& s, StepReport& rep) {
    uint32_t count = kNotReported;
    Call(s, rep, "retain: retaining the card",
         [&](tDevReturn* r) { return s.api.RetainCard(&count, r); });
    if (count == kNotReported) {
        rep.json.Set("retain_counter", Json());
        return;
    }
    rep.json.Set("retain_counter", count);
    rep.lines.push_back("  retain counter " + std::to_string(count));
}

void NameStep(Session& s, StepReport& rep, const std::string& newName) {
    if (!newName.empty())
        s.api.SetLogicalDevName(newName.c_str());
    char buf[256];
    std::memset(buf, 0, sizeof buf);
    s.api.GetLogicalDevName(buf);
    const std::string name(FieldText(buf, sizeof buf - 1));
    rep.ok = true;
    rep.callInfo = "no result record";
    rep.json.Set("name", Printable(name));
    rep.lines.push_back("  logical device name \"" + Printable(name) + "\"");
}

// --- command line -------------------------------------------------------------

// Every use of `sub` on the command line appends the step that make() builds
// from the arguments of that use; the arguments then go back to their
// defaults, so a subcommand may come more than once.
template <typename Args, typename Make>
void OnUse(CLI::App& sub, std::vector<Step>& steps, std::shared_ptr<Args> args, Make make) {
    sub.parse_complete_callback([&sub, &steps, args, make] {
        steps.push_back(Step{sub.get_name(), make(sub, *args)});
        *args = Args{};
        sub.clear();
    });
}

struct NoArgs {};

// A subcommand without arguments that runs `action`.
template <void (*action)(Session&, StepReport&)>
void DefinePlain(CLI::App& sub, std::vector<Step>& steps) {
    OnUse(sub, steps, std::make_shared<NoArgs>(),
          [](CLI::App&, const NoArgs&) { return Action(action); });
}

// A subcommand with one optional integer (default `fallback`) passed to an
// export taking (int, tDevReturn*). The value is not checked here: trying
// what the library refuses is part of trying the library.
template <int (IDC_CALL* IdcApi::*fn)(int, tDevReturn*)>
void DefineIntCall(CLI::App& sub, std::vector<Step>& steps, const char* arg, const char* help,
                   int fallback, const char* waiting) {
    struct Args {
        int value = 0;
    };
    auto args = std::make_shared<Args>();
    sub.add_option(arg, args->value, help);
    OnUse(sub, steps, args, [arg, fallback, waiting](CLI::App& app, const Args& a) {
        const int value = app.get_option(arg)->count() ? a.value : fallback;
        return Action([value, waiting](Session& s, StepReport& rep) {
            Call(s, rep, waiting, [&](tDevReturn* r) { return (s.api.*fn)(value, r); });
            rep.json.Set("argument", value);
        });
    });
}

template <int (IDC_CALL* IdcApi::*fn)(tDevReturn*)>
void DefineRecordCall(CLI::App& sub, std::vector<Step>& steps, const char* waiting) {
    OnUse(sub, steps, std::make_shared<NoArgs>(), [waiting](CLI::App&, const NoArgs&) {
        return Action([waiting](Session& s, StepReport& rep) {
            Call(s, rep, waiting, [&](tDevReturn* r) { return (s.api.*fn)(r); });
        });
    });
}

void DefineWriteTrack(CLI::App& sub, std::vector<Step>& steps) {
    struct Args {
        int track = 0;
        std::string data;
        bool hex = false;
    };
    auto args = std::make_shared<Args>();
    sub.add_option("track", args->track, "track number: 1, 2 or 3 (required)");
    sub.add_option("data", args->data, "the track's characters (required)");
    sub.add_flag("--hex", args->hex, "DATA is hexadecimal bytes");
    OnUse(sub, steps, args, [](CLI::App& app, const Args& a) {
        if (app.get_option("track")->count() == 0)
            throw CLI::RequiredError("write-track: track");
        if (app.get_option("data")->count() == 0)
            throw CLI::RequiredError("write-track: data");
        Bytes data(a.data.begin(), a.data.end());
        if (a.hex) {
            const auto parsed = ParseHex(a.data);
            if (!parsed)
                throw CLI::ValidationError("write-track", "DATA is not hexadecimal bytes");
            data = *parsed;
        }
        const int track = a.track;
        return Action([track, data](Session& s, StepReport& rep) {
            Call(s, rep, "write-track: writing", [&](tDevReturn* r) {
                return s.api.WriteTrack(track, data.data(), static_cast<uint32_t>(data.size()), r);
            });
            rep.json.Set("track", track);
            rep.json.Set("length", data.size());
        });
    });
}

void DefineApdu(CLI::App& sub, std::vector<Step>& steps) {
    struct Args {
        std::string hex;
        bool getResponse = false;
        int selector = 0;
    };
    auto args = std::make_shared<Args>();
    sub.add_option("hex", args->hex, "the APDU in hexadecimal, e.g. \"00 A4 04 00 00\" (required)");
    sub.add_flag("--get-response", args->getResponse,
                 "follow 61xx with GET RESPONSE and 6Cxx with the corrected Le");
    sub.add_option("--selector", args->selector, "first argument of IDC_ChipIO")
        ->capture_default_str();
    OnUse(sub, steps, args, [](CLI::App& app, const Args& a) {
        if (app.get_option("hex")->count() == 0)
            throw CLI::RequiredError("apdu: hex");
        const auto apdu = ParseHex(a.hex);
        if (!apdu || apdu->size() < 4)
            throw CLI::ValidationError("apdu", "HEX must be at least four hexadecimal bytes");
        if (apdu->size() > IDC_CHIP_REPLY_MAX)
            throw CLI::ValidationError("apdu", "the APDU is longer than " +
                                                   std::to_string(IDC_CHIP_REPLY_MAX) + " bytes");
        const bool follow = a.getResponse;
        const int selector = a.selector;
        return Action([bytes = *apdu, follow, selector](Session& s, StepReport& rep) {
            ApduStep(s, rep, bytes, follow, selector);
        });
    });
}

void DefineName(CLI::App& sub, std::vector<Step>& steps) {
    struct Args {
        std::string name;
    };
    auto args = std::make_shared<Args>();
    sub.add_option("new-name", args->name, "set this name first (at most 31 characters)");
    OnUse(sub, steps, args, [](CLI::App&, const Args& a) {
        if (a.name.size() > 31)
            throw CLI::ValidationError("name", "at most 31 characters");
        return Action([n = a.name](Session& s, StepReport& rep) { NameStep(s, rep, n); });
    });
}

} // namespace

StepReport OpenReader(Session& s) {
    StepReport rep;
    rep.command = "open";
    Call(s, rep, "open: looking for the reader",
         [&](tDevReturn* r) { return s.api.SetCommPara(r); });
    return rep;
}

StepReport RunStep(Session& s, const Step& step) {
    StepReport rep;
    rep.command = step.name;
    rep.json.Set("command", step.name);
    rep.json.Set("ok", false);
    step.action(s, rep);
    rep.json.Set("ok", rep.ok);
    rep.summary = step.name + ": " + (rep.ok ? "ok" : "FAILED") +
                  (rep.callInfo.empty() ? "" : "  (" + rep.callInfo + ")");
    return rep;
}

const std::vector<CommandSpec>& CommandTable() {
    static const std::vector<CommandSpec> kTable = {
        {"status", "read the reader status (IDC_GetStatus)", DefinePlain<StatusStep>},
        {"init", "initialise the reader (IDC_Init); MODE 1, 2 or 3, default 1",
         [](CLI::App& sub, std::vector<Step>& steps) {
             DefineIntCall<&IdcApi::Init>(sub, steps, "mode", "initialisation mode", 1,
                                          "init: initialising");
         }},
        {"accept", "let a card in (IDC_AcceptCard); MODE 1 to 6, default 1",
         [](CLI::App& sub, std::vector<Step>& steps) {
             DefineIntCall<&IdcApi::AcceptCard>(sub, steps, "mode", "card-entry mode", 1,
                                                "accept: waiting for a card");
         }},
        {"wait-card", "wait until the card is inside (IDC_GetStatus); SECONDS default 30",
         [](CLI::App& sub, std::vector<Step>& steps) {
             struct Args {
                 int seconds = 30;
             };
             auto args = std::make_shared<Args>();
             sub.add_option("seconds", args->seconds, "longest wait in seconds");
             OnUse(sub, steps, args, [](CLI::App&, const Args& a) {
                 const int seconds = a.seconds;
                 return Action(
                     [seconds](Session& s, StepReport& rep) { WaitCard(s, rep, seconds); });
             });
         }},
        {"read-tracks", "read the three magnetic tracks (IDC_ReadTrack)",
         DefinePlain<ReadTracksStep>},
        {"write-track", "write one magnetic track (IDC_WriteTrack)", DefineWriteTrack},
        {"chip-on", "activate the chip and decode its answer to reset (IDC_ChipPower 1)",
         DefinePlain<ChipOnStep>},
        {"chip-reset", "reset the chip again (IDC_ChipPower 2)", DefinePlain<ChipResetStep>},
        {"chip-off", "switch the chip off (IDC_ChipPower 3)", DefinePlain<ChipOffStep>},
        {"apdu", "send an APDU to the chip (IDC_ChipIO)", DefineApdu},
        {"eject", "hand the card back (IDC_EjectCard)",
         [](CLI::App& sub, std::vector<Step>& steps) {
             DefineRecordCall<&IdcApi::EjectCard>(sub, steps, "eject: ejecting");
         }},
        {"retain", "take the card into the bin (IDC_RetainCard)", DefinePlain<RetainStep>},
        {"life", "read the life counters (IDC_GetLifeInfo)", DefinePlain<LifeStep>},
        {"caps", "read the capabilities (IDC_GetCapabilities)", DefinePlain<CapsStep>},
        {"reset-count", "reset the retain counter (IDC_ResetCount); COUNTER default 0",
         [](CLI::App& sub, std::vector<Step>& steps) {
             DefineIntCall<&IdcApi::ResetCount>(sub, steps, "counter", "counter number", 0,
                                                nullptr);
         }},
        {"release", "release the anti-fishing guard (IDC_ReleaseAntiFishing)",
         [](CLI::App& sub, std::vector<Step>& steps) {
             DefineRecordCall<&IdcApi::ReleaseAntiFishing>(sub, steps, nullptr);
         }},
        {"reset", "reset the device (IDC_Reset)",
         [](CLI::App& sub, std::vector<Step>& steps) {
             DefineRecordCall<&IdcApi::Reset>(sub, steps, nullptr);
         }},
        {"name", "show the logical device name, or set it first (IDC_Get/SetLogicalDevName)",
         DefineName},
        {"demo", "a card's visit to an emulated reader, step by step (POSIX systems)", DefineDemo},
    };
    return kTable;
}

} // namespace idcctl

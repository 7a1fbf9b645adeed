#include "records.h"

#include <cstdio>
#include <cstring>

namespace idcctl {

bool CodeIsSuccess(int code) {
    return code == 0 || (code >= 1201 && code <= 1210) || code == 1212 || code == 1213;
}

std::string CodeMeaning(int code) {
    switch (code) {
    case 0:
        return "no error";
    case 1201:
        return "positive reply";
    case 1221:
        return "reply not recognised";
    case 1223:
        return "connection not open or command not sent";
    case 1224:
        return "argument refused";
    case 1225:
    case 1226:
    case 1299:
        return "the reader did not answer";
    case 1249:
    case 1251:
        return "no magnetic track could be read";
    case 1266:
        return "not supported by this reader";
    case 1267:
        return "cannot be carried out: reader not open, or chip type or mode not supported";
    case 1268:
        return "no track data to write";
    case 1273:
        return "chip not recognised";
    default:
        return "";
    }
}

namespace {

using Meaning = std::string (*)(int64_t);

std::string None(int64_t) {
    return "";
}
std::string CardPosition(int64_t v) {
    switch (v) {
    case 0:
        return "not reported";
    case 1:
        return "no card";
    case 2:
        return "card at the gate";
    case 3:
        return "card inside";
    default:
        return "";
    }
}
std::string ModeState(int64_t v) {
    switch (v) {
    case 0:
        return "not configured";
    case 1:
        return "mode 1 set";
    case 3:
        return "mode 0 set";
    case 4:
        return "not set, or setting failed";
    default:
        return "configured value, nothing sent";
    }
}
std::string ChipPower(int64_t v) {
    switch (v) {
    case 0:
        return "not reported";
    case 1:
        return "powered";
    case 2:
        return "off";
    default:
        return "";
    }
}
std::string ChipType(int64_t v) {
    return ChipTypeMeaning(static_cast<uint32_t>(v));
}
std::string CardEntry(int64_t v) {
    switch (v) {
    case 0:
        return "not set";
    case 3:
        return "idle, or entry mode 3";
    case 1:
    case 2:
    case 4:
    case 5:
        return "entry mode " + std::to_string(v);
    default:
        return "";
    }
}
std::string ModuleState(int64_t v) {
    switch (v) {
    case 0:
        return "not probed";
    case 1:
        return "working";
    case 2:
        return "absent";
    case 3:
        return "failing";
    default:
        return "";
    }
}
std::string ModuleSensor(int64_t v) {
    switch (v) {
    case 0:
        return "not read";
    case 1:
        return "clear";
    case 2:
    case 3:
        return "set";
    default:
        return "";
    }
}
std::string YesNo(int64_t v) {
    return v == 0 ? "no" : v == 1 ? "yes" : "";
}
std::string CommandState(int64_t v) {
    switch (v) {
    case 0:
        return "not configured";
    case 1:
        return "accepted";
    case 2:
        return "refused or not applicable";
    default:
        return "";
    }
}
std::string Configured(int64_t v) {
    return v == 0 ? "not yet" : v == 2 ? "done" : "";
}
std::string ProtocolMode(int64_t v) {
    return v == 0 ? "none sent" : v == 1 ? "mode 0 sent" : v == 2 ? "mode 1 sent" : "";
}

struct FieldInfo {
    const char* name;
    const char* label;
    Meaning meaning;
};

const FieldInfo kStatus[15] = {
    {"field_0", "(not used)", None},
    {"card_position", "card position", CardPosition},
    {"retain_counter", "retain counter", None},
    {"activation_mode", "activation mode", ModeState},
    {"intake_mode", "intake mode", ModeState},
    {"sensor_5", "sensor flag 5", None},
    {"sensor_6", "sensor flag 6", None},
    {"sensor_7", "sensor flag 7", None},
    {"chip_power", "chip power", ChipPower},
    {"chip_type", "chip type", ChipType},
    {"card_entry", "card entry", CardEntry},
    {"module", "auxiliary module", ModuleState},
    {"module_sensor_1", "module sensor 1", ModuleSensor},
    {"module_sensor_2", "module sensor 2", ModuleSensor},
    {"module_sensor_3", "module sensor 3", ModuleSensor},
};

const FieldInfo kCaps[8] = {
    {"model_identified", "model identified", YesNo},
    {"intake_mode_command", "intake mode command", CommandState},
    {"activation_mode_command", "activation mode command", CommandState},
    {"module_state", "module / configuration state", None},
    {"configuration", "configuration", Configured},
    {"protocol_mode", "protocol mode", ProtocolMode},
    {"counter_limit", "retain counter limit", None},
    {"retain_counter", "retain counter", None},
};

Field MakeField(int index, const FieldInfo& info, int64_t value) {
    return Field{index, info.name, info.label, value, info.meaning(value)};
}

TextField MakeText(const char* name, const char* label, const char* field, size_t size) {
    const std::string_view t = FieldText(field, size);
    return TextField{name, label, Bytes(t.begin(), t.end())};
}

} // namespace

std::vector<Field> DecodeStatus(const tIdcStatus& status) {
    std::vector<Field> out;
    for (int i = 0; i < 15; ++i)
        out.push_back(MakeField(i, kStatus[i], status.usField[i]));
    return out;
}

std::vector<Field> DecodeLife(const tIdcLife& life) {
    std::vector<Field> out;
    for (int i = 0; i < 11; ++i) {
        const std::string n = std::to_string(i);
        out.push_back(Field{i, "value_" + n, "counter " + n, life.uiValue[i], ""});
    }
    return out;
}

Capabilities DecodeCaps(const tIdcCaps& caps) {
    Capabilities c;
    for (int i = 0; i < 8; ++i)
        c.numbers.push_back(MakeField(2 * i, kCaps[i], caps.usField[i]));
    c.texts.push_back(
        MakeText("model_name", "model name", caps.acModelName, sizeof caps.acModelName));
    c.texts.push_back(MakeText("firmware", "firmware", caps.acFirmware, sizeof caps.acFirmware));
    c.texts.push_back(MakeText("library_version", "library version", caps.acLibVersion,
                               sizeof caps.acLibVersion));
    c.texts.push_back(MakeText("info", "reader information", caps.acInfo, sizeof caps.acInfo));
    c.texts.push_back(MakeText("date", "reader date", caps.acDate, sizeof caps.acDate));
    return c;
}

std::vector<Track> DecodeTracks(const tIdcTracks& t) {
    const uint32_t lengths[3] = {t.uiLen1, t.uiLen2, t.uiLen3};
    const uint8_t* areas[3] = {t.abTrack1, t.abTrack2, t.abTrack3};
    const size_t sizes[3] = {sizeof t.abTrack1, sizeof t.abTrack2, sizeof t.abTrack3};
    std::vector<Track> out;
    for (int i = 0; i < 3; ++i) {
        const size_t held = lengths[i] < sizes[i] ? lengths[i] : sizes[i];
        out.push_back(Track{i + 1, lengths[i], Bytes(areas[i], areas[i] + held)});
    }
    return out;
}

std::string ChipTypeMeaning(uint32_t type) {
    if (type == 0)
        return "processor card, T=0";
    if (type == 1)
        return "processor card, T=1";
    if (type == 2 || type == 3)
        return "chip without APDU exchange";
    if (type >= 4 && type <= 9)
        return "memory or synchronous card";
    if (type == 255)
        return "no chip active";
    return "unknown";
}

std::vector<std::string> FieldLines(const std::vector<Field>& fields) {
    std::vector<std::string> lines;
    for (const auto& f : fields) {
        char buf[160];
        std::snprintf(buf, sizeof buf, "  %3d  %-28s %10lld", f.index, f.label.c_str(),
                      static_cast<long long>(f.value));
        lines.push_back(f.meaning.empty() ? std::string(buf) : buf + ("  " + f.meaning));
    }
    return lines;
}

Json FieldsJson(const std::vector<Field>& fields) {
    Json a = Json::Array();
    for (const auto& f : fields) {
        Json e = Json::Object();
        e.Set("index", f.index);
        e.Set("name", f.name);
        e.Set("value", f.value);
        e.Set("meaning", f.meaning.empty() ? Json() : Json(f.meaning));
        a.Push(std::move(e));
    }
    return a;
}

std::vector<std::string> TextFieldLines(const std::vector<TextField>& texts) {
    std::vector<std::string> lines;
    for (const auto& t : texts) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "  %-33s ", t.label.c_str());
        std::string line = buf + ("\"" + Printable(t.bytes.data(), t.bytes.size()) + "\"");
        if (!IsPrintable(t.bytes.data(), t.bytes.size()))
            line += "  (" + ToHex(t.bytes) + ")";
        lines.push_back(line);
    }
    return lines;
}

Json TextFieldsJson(const std::vector<TextField>& texts) {
    Json o = Json::Object();
    for (const auto& t : texts) {
        Json e = Json::Object();
        e.Set("text", Printable(t.bytes.data(), t.bytes.size()));
        e.Set("hex", ToHex(t.bytes));
        o.Set(t.name, std::move(e));
    }
    return o;
}

std::vector<std::string> TrackLines(const std::vector<Track>& tracks) {
    std::vector<std::string> lines;
    for (const auto& t : tracks) {
        std::string line = "  track " + std::to_string(t.number) + ": ";
        if (t.length == 0) {
            lines.push_back(line + "no data");
            continue;
        }
        line += std::to_string(t.length) + " bytes";
        if (t.data.size() < t.length)
            line += " (" + std::to_string(t.data.size()) + " held)";
        lines.push_back(line + "  " + Printable(t.data.data(), t.data.size()));
    }
    return lines;
}

Json TracksJson(const std::vector<Track>& tracks) {
    Json a = Json::Array();
    for (const auto& t : tracks) {
        Json e = Json::Object();
        e.Set("track", t.number);
        e.Set("length", t.length);
        e.Set("held", t.data.size());
        e.Set("data", Printable(t.data.data(), t.data.size()));
        e.Set("hex", ToHex(t.data));
        a.Push(std::move(e));
    }
    return a;
}

} // namespace idcctl

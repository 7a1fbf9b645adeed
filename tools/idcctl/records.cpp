#include "records.h"

#include <cstdio>
#include <cstring>

namespace idcctl {

bool code_is_success(int code) {
    return code == 0 || (code >= 1201 && code <= 1210) || code == 1212 || code == 1213;
}

std::string code_meaning(int code) {
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

std::string none(int64_t) {
    return "";
}
std::string card_position(int64_t v) {
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
std::string mode_state(int64_t v) {
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
std::string chip_power(int64_t v) {
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
std::string chip_type(int64_t v) {
    return chip_type_meaning(static_cast<uint32_t>(v));
}
std::string card_entry(int64_t v) {
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
std::string module_state(int64_t v) {
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
std::string module_sensor(int64_t v) {
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
std::string yes_no(int64_t v) {
    return v == 0 ? "no" : v == 1 ? "yes" : "";
}
std::string command_state(int64_t v) {
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
std::string configured(int64_t v) {
    return v == 0 ? "not yet" : v == 2 ? "done" : "";
}
std::string protocol_mode(int64_t v) {
    return v == 0 ? "none sent" : v == 1 ? "mode 0 sent" : v == 2 ? "mode 1 sent" : "";
}

struct FieldInfo {
    const char* name;
    const char* label;
    Meaning meaning;
};

const FieldInfo kStatus[15] = {
    {"field_0", "(not used)", none},
    {"card_position", "card position", card_position},
    {"retain_counter", "retain counter", none},
    {"activation_mode", "activation mode", mode_state},
    {"intake_mode", "intake mode", mode_state},
    {"sensor_5", "sensor flag 5", none},
    {"sensor_6", "sensor flag 6", none},
    {"sensor_7", "sensor flag 7", none},
    {"chip_power", "chip power", chip_power},
    {"chip_type", "chip type", chip_type},
    {"card_entry", "card entry", card_entry},
    {"module", "auxiliary module", module_state},
    {"module_sensor_1", "module sensor 1", module_sensor},
    {"module_sensor_2", "module sensor 2", module_sensor},
    {"module_sensor_3", "module sensor 3", module_sensor},
};

const FieldInfo kCaps[8] = {
    {"model_identified", "model identified", yes_no},
    {"intake_mode_command", "intake mode command", command_state},
    {"activation_mode_command", "activation mode command", command_state},
    {"module_state", "module / configuration state", none},
    {"configuration", "configuration", configured},
    {"protocol_mode", "protocol mode", protocol_mode},
    {"counter_limit", "retain counter limit", none},
    {"retain_counter", "retain counter", none},
};

Field make_field(int index, const FieldInfo& info, int64_t value) {
    return Field{index, info.name, info.label, value, info.meaning(value)};
}

TextField make_text(const char* name, const char* label, const char* field, size_t size) {
    const std::string_view t = field_text(field, size);
    return TextField{name, label, Bytes(t.begin(), t.end())};
}

} // namespace

std::vector<Field> decode_status(const tIdcStatus& status) {
    std::vector<Field> out;
    for (int i = 0; i < 15; ++i)
        out.push_back(make_field(i, kStatus[i], status.usField[i]));
    return out;
}

std::vector<Field> decode_life(const tIdcLife& life) {
    std::vector<Field> out;
    for (int i = 0; i < 11; ++i) {
        const std::string n = std::to_string(i);
        out.push_back(Field{i, "value_" + n, "counter " + n, life.uiValue[i], ""});
    }
    return out;
}

Capabilities decode_caps(const tIdcCaps& caps) {
    Capabilities c;
    for (int i = 0; i < 8; ++i)
        c.numbers.push_back(make_field(2 * i, kCaps[i], caps.usField[i]));
    c.texts.push_back(
        make_text("model_name", "model name", caps.acModelName, sizeof caps.acModelName));
    c.texts.push_back(make_text("firmware", "firmware", caps.acFirmware, sizeof caps.acFirmware));
    c.texts.push_back(make_text("library_version", "library version", caps.acLibVersion,
                                sizeof caps.acLibVersion));
    c.texts.push_back(make_text("info", "reader information", caps.acInfo, sizeof caps.acInfo));
    c.texts.push_back(make_text("date", "reader date", caps.acDate, sizeof caps.acDate));
    return c;
}

std::vector<Track> decode_tracks(const tIdcTracks& t) {
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

std::string chip_type_meaning(uint32_t type) {
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

std::vector<std::string> field_lines(const std::vector<Field>& fields) {
    std::vector<std::string> lines;
    for (const auto& f : fields) {
        char buf[160];
        std::snprintf(buf, sizeof buf, "  %3d  %-28s %10lld", f.index, f.label.c_str(),
                      static_cast<long long>(f.value));
        lines.push_back(f.meaning.empty() ? std::string(buf) : buf + ("  " + f.meaning));
    }
    return lines;
}

Json fields_json(const std::vector<Field>& fields) {
    Json a = Json::array();
    for (const auto& f : fields) {
        Json e = Json::object();
        e.set("index", f.index);
        e.set("name", f.name);
        e.set("value", f.value);
        e.set("meaning", f.meaning.empty() ? Json() : Json(f.meaning));
        a.push(std::move(e));
    }
    return a;
}

std::vector<std::string> text_field_lines(const std::vector<TextField>& texts) {
    std::vector<std::string> lines;
    for (const auto& t : texts) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "  %-33s ", t.label.c_str());
        std::string line = buf + ("\"" + printable(t.bytes.data(), t.bytes.size()) + "\"");
        if (!is_printable(t.bytes.data(), t.bytes.size()))
            line += "  (" + to_hex(t.bytes) + ")";
        lines.push_back(line);
    }
    return lines;
}

Json text_fields_json(const std::vector<TextField>& texts) {
    Json o = Json::object();
    for (const auto& t : texts) {
        Json e = Json::object();
        e.set("text", printable(t.bytes.data(), t.bytes.size()));
        e.set("hex", to_hex(t.bytes));
        o.set(t.name, std::move(e));
    }
    return o;
}

std::vector<std::string> track_lines(const std::vector<Track>& tracks) {
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
        lines.push_back(line + "  " + printable(t.data.data(), t.data.size()));
    }
    return lines;
}

Json tracks_json(const std::vector<Track>& tracks) {
    Json a = Json::array();
    for (const auto& t : tracks) {
        Json e = Json::object();
        e.set("track", t.number);
        e.set("length", t.length);
        e.set("held", t.data.size());
        e.set("data", printable(t.data.data(), t.data.size()));
        e.set("hex", to_hex(t.data));
        a.push(std::move(e));
    }
    return a;
}

} // namespace idcctl

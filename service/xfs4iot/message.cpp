#include "message.h"

#include <climits>

namespace quillon::xfs {

namespace {

using Ordered = nlohmann::ordered_json;

bool bPlainName(const std::string& s) {
    // "Interface.Command": letters and digits around one dot.
    const size_t dot = s.find('.');
    if (s.empty() || s.size() > kMaxNameLength || dot == std::string::npos || dot == 0 ||
        dot + 1 == s.size() || s.find('.', dot + 1) != std::string::npos)
        return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const bool bAlnum =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (i != dot && !bAlnum)
            return false;
    }
    return !(s[0] >= '0' && s[0] <= '9') && !(s[dot + 1] >= '0' && s[dot + 1] <= '9');
}

tInbound Refuse(tInbound in, AckStatus e, const char* pWhy) {
    in.eStatus = e;
    in.sWhy = pWhy;
    return in;
}

std::string Dump(const Ordered& j) {
    return j.dump(-1, ' ', false, Ordered::error_handler_t::replace);
}

Ordered Header(const std::string& sName, int64_t iRequestId, const char* pType,
               const char* pVersion) {
    Ordered h;
    h["name"] = sName;
    if (iRequestId > 0)
        h["requestId"] = iRequestId;
    else
        h["requestId"] = nullptr;
    h["type"] = pType;
    h["version"] = pVersion;
    return h;
}

// The header keeps its field order; the payload follows it as built.
std::string Frame(const Ordered& header, const Json* pPayload) {
    std::string s = "{\"header\":" + Dump(header);
    if (pPayload) {
        s += ",\"payload\":";
        s += pPayload->dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    s += '}';
    return s;
}

} // namespace

const char* AckStatusName(AckStatus eStatus) {
    switch (eStatus) {
    case AckStatus::InvalidMessage:
        return "invalidMessage";
    case AckStatus::InvalidRequestId:
        return "invalidRequestID";
    case AckStatus::TooManyRequests:
        return "tooManyRequests";
    case AckStatus::Accepted:
        break;
    }
    return nullptr;
}

tInbound ParseInbound(std::string_view text, FrameKind eKind) {
    tInbound in;
    if (eKind == FrameKind::Binary)
        return Refuse(in, AckStatus::InvalidMessage, "binary frame");
    if (eKind == FrameKind::Oversized || text.size() > kMaxMessageBytes)
        return Refuse(in, AckStatus::InvalidMessage, "message over 64 KiB");
    Json all = Json::parse(text.begin(), text.end(), nullptr, false);
    if (all.is_discarded() || !all.is_object())
        return Refuse(in, AckStatus::InvalidMessage, "not a JSON object");
    const auto header = all.find("header");
    if (header == all.end() || !header->is_object())
        return Refuse(in, AckStatus::InvalidMessage, "no header object");
    const Json& h = *header;

    // What an acknowledge can echo, read before anything is refused.
    const auto name = h.find("name");
    if (name != h.end() && name->is_string() && bPlainName(name->get<std::string>()))
        in.sName = name->get<std::string>();
    const auto id = h.find("requestId");
    const bool bIdInteger = id != h.end() && id->is_number_integer();
    if (bIdInteger) {
        const bool bPositive =
            id->is_number_unsigned() ? id->get<uint64_t>() > 0 : id->get<int64_t>() > 0;
        if (bPositive && id->get<uint64_t>() <= static_cast<uint64_t>(INT_MAX)) {
            in.bHasRequestId = true;
            in.iRequestId = id->get<int64_t>();
        }
    }

    if (in.sName.empty())
        return Refuse(in, AckStatus::InvalidMessage, "no command name");
    const auto type = h.find("type");
    if (type == h.end() || !type->is_string() || type->get<std::string>() != "command")
        return Refuse(in, AckStatus::InvalidMessage, "type is not command");
    const auto version = h.find("version");
    if (version == h.end() || !version->is_string() || version->get<std::string>().empty() ||
        version->get<std::string>().size() > 16)
        return Refuse(in, AckStatus::InvalidMessage, "no version");
    in.sVersion = version->get<std::string>();
    const auto timeout = h.find("timeout");
    if (timeout != h.end() && !timeout->is_null()) {
        if (!timeout->is_number_integer() ||
            (!timeout->is_number_unsigned() && timeout->get<int64_t>() < 0) ||
            timeout->get<uint64_t>() > static_cast<uint64_t>(INT_MAX))
            return Refuse(in, AckStatus::InvalidMessage, "timeout is not a count of milliseconds");
        in.iTimeoutMs = timeout->get<int64_t>();
    }
    if (!in.bHasRequestId)
        return Refuse(in, AckStatus::InvalidRequestId, "requestId is not a positive integer");

    const auto payload = all.find("payload");
    if (payload == all.end() || payload->is_null())
        in.payload = Json::object();
    else if (payload->is_object())
        in.payload = std::move(*payload);
    else
        in.bPayloadIsObject = false;
    in.eStatus = AckStatus::Accepted;
    return in;
}

std::string AckText(const tInbound& in, AckStatus eStatus) {
    // A frame without a readable name is answered under the acknowledge's
    // own message name.
    Ordered h = Header(in.sName.empty() ? "Common.Acknowledge" : in.sName,
                       in.bHasRequestId ? in.iRequestId : 0, "acknowledge",
                       in.sVersion.empty() ? "2.0" : in.sVersion.c_str());
    if (const char* pStatus = AckStatusName(eStatus))
        h["status"] = pStatus;
    return Frame(h, nullptr);
}

std::string CompletionText(const std::string& sName, int64_t iRequestId, const char* pVersion,
                           const char* pCompletionCode, const Json& payload,
                           const std::string& sErrorDescription) {
    Ordered h = Header(sName, iRequestId, "completion", pVersion);
    h["completionCode"] = pCompletionCode;
    if (!sErrorDescription.empty())
        h["errorDescription"] = sErrorDescription;
    return Frame(h, &payload);
}

std::string EventText(const std::string& sName, int64_t iRequestId, const char* pVersion,
                      const Json& payload) {
    return Frame(Header(sName, iRequestId, "event", pVersion), &payload);
}

std::string UnsolicitedText(const std::string& sName, const char* pVersion, const Json& payload) {
    return Frame(Header(sName, 0, "unsolicited", pVersion), &payload);
}

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SextetOf(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}
} // namespace

std::string Base64(const uint8_t* p, size_t n) {
    std::string s;
    s.reserve((n + 2) / 3 * 4);
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t v = static_cast<uint32_t>(p[i]) << 16 |
                           (i + 1 < n ? static_cast<uint32_t>(p[i + 1]) << 8 : 0) |
                           (i + 2 < n ? p[i + 2] : 0);
        s += kAlphabet[v >> 18 & 63];
        s += kAlphabet[v >> 12 & 63];
        s += i + 1 < n ? kAlphabet[v >> 6 & 63] : '=';
        s += i + 2 < n ? kAlphabet[v & 63] : '=';
    }
    return s;
}

bool bDecodeBase64(const std::string& s, std::vector<uint8_t>& out) {
    out.clear();
    if (s.size() % 4 != 0)
        return false;
    for (size_t i = 0; i < s.size(); i += 4) {
        const bool bLast = i + 4 == s.size();
        const int pad = bLast ? (s[i + 3] == '=') + (s[i + 2] == '=') : 0;
        int v[4];
        for (int k = 0; k < 4; ++k) {
            v[k] = k >= 4 - pad ? 0 : SextetOf(s[i + k]);
            if (v[k] < 0)
                return false;
        }
        if (pad == 1 && s[i + 2] == '=')
            return false; // "x=y=" is no padding
        const uint32_t w = static_cast<uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
        // Canonical only: the bits the padding drops are zero.
        if ((pad == 1 && (w & 0xFF)) || (pad == 2 && (w & 0xFFFF)))
            return false;
        out.push_back(static_cast<uint8_t>(w >> 16));
        if (pad < 2)
            out.push_back(static_cast<uint8_t>(w >> 8));
        if (pad < 1)
            out.push_back(static_cast<uint8_t>(w));
    }
    return true;
}

} // namespace quillon::xfs

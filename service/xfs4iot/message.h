// The frames on the WebSocket: one JSON object per text frame,
//   {"header":{"name","requestId","type","version","timeout"?,...},"payload":{...}}.
// An application sends commands; the service answers each with an
// acknowledge (no status: accepted), then events and one completion, and
// sends unsolicited events to everyone. This file reads a command frame and
// writes the service's frames; it does no I/O and keeps no state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame.h"

namespace quillon::xfs {

using Json = nlohmann::json;

// The longest command name the service echoes.
constexpr size_t kMaxNameLength = 128;

enum class AckStatus { Accepted, InvalidMessage, InvalidRequestId, TooManyRequests };
const char* AckStatusName(AckStatus eStatus); // nullptr for Accepted

// A command frame as read. When eStatus is not Accepted, the fields hold
// what could be recovered for the acknowledge (a name, an integer id).
struct tInbound {
    AckStatus eStatus = AckStatus::InvalidMessage;
    std::string sName;
    bool bHasRequestId = false;
    int64_t iRequestId = 0;
    std::string sVersion;
    int64_t iTimeoutMs = 0; // 0: no time-out (also when absent)
    Json payload;           // an object; an absent or null payload reads as {}
    bool bPayloadIsObject = true;
    std::string sWhy; // for the log: why the frame was refused
};

tInbound ParseInbound(std::string_view text, FrameKind eKind = FrameKind::Text);

// The service's frames. An id of 0 is written as null (frames that answer a
// command whose id could not be read).
std::string AckText(const tInbound& in, AckStatus eStatus);
std::string CompletionText(const std::string& sName, int64_t iRequestId, const char* pVersion,
                           const char* pCompletionCode, const Json& payload,
                           const std::string& sErrorDescription = {});
std::string EventText(const std::string& sName, int64_t iRequestId, const char* pVersion,
                      const Json& payload);
std::string UnsolicitedText(const std::string& sName, const char* pVersion, const Json& payload);

// Base64 (RFC 4648, with padding) for track, chip and APDU bytes.
std::string Base64(const uint8_t* p, size_t n);
// False for anything but canonical padded base64.
bool bDecodeBase64(const std::string& s, std::vector<uint8_t>& out);

} // namespace quillon::xfs

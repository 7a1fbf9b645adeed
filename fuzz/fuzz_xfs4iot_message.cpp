// The XFS4IoT service's message code: any bytes as one WebSocket text
// message from an application, through the reading of the frame, the check
// of its payload and the frames the service writes back. Checked: nothing
// is thrown; an accepted command has a name and an id in range; every frame
// written back is a JSON object that names the command, with the type it
// must have; a base64 text that decodes encodes back to itself; every
// library code falls into a fault that completes with a known code.
#include <climits>
#include <string>

#include "catalog.h"
#include "codes.h"
#include "fuzz_support.h"
#include "message.h"

using namespace quillon::xfs;

namespace {

void Require(bool b, const char* pWhat) {
    if (!b)
        fuzz::Fail("check failed: %s", pWhat);
}

// A frame the service writes: a JSON object with this type and name.
void CheckFrame(const std::string& text, const char* pType, const std::string& sName) {
    const Json f = Json::parse(text, nullptr, false);
    Require(f.is_object() && f.contains("header"), "frame is an object with a header");
    const Json& h = f["header"];
    Require(h.value("type", "") == pType, "frame type");
    Require(sName.empty() || h.value("name", "") == sName, "frame names the command");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {
    const std::string text(reinterpret_cast<const char*>(pData), uiSize);
    try {
        tInbound in = ParseInbound(text, FrameKind::Text);
        CheckFrame(AckText(in, in.eStatus), "acknowledge", in.sName);
        if (in.eStatus == AckStatus::Accepted) {
            Require(!in.sName.empty() && in.sName.size() <= kMaxNameLength, "name");
            Require(in.iRequestId >= 1 && in.iRequestId <= INT_MAX, "request id");
            Require(in.iTimeoutMs >= 0, "timeout");
            Require(!in.bPayloadIsObject || in.payload.is_object(), "payload object");
            for (const bool bPublisher : {false, true}) {
                const tCommandSpec* pSpec = FindCommand(in.sName, bPublisher);
                if (!pSpec || !in.bPayloadIsObject)
                    continue;
                const tCheck c = pSpec->CheckPayload(in.payload);
                Require(c.e == Check::Ok || !c.sWhy.empty(), "a refusal says why");
                CheckFrame(CompletionText(pSpec->pName, in.iRequestId, pSpec->pCompletionVersion,
                                          c.e == Check::Ok ? "success" : "invalidData", in.payload,
                                          c.sWhy),
                           "completion", pSpec->pName);
            }
        }
        std::vector<uint8_t> bytes;
        if (bDecodeBase64(text, bytes))
            Require(Base64(bytes.data(), bytes.size()) == text, "base64 round trip");
        if (uiSize >= 2) {
            const int iCode = 1200 + (pData[0] << 8 | pData[1]) % 101;
            for (Family e : {Family::A, Family::B, Family::C, Family::Unknown}) {
                static const char* const kSome[] = {"mediaJam", "noMedia", "invalidMedia", nullptr};
                const tOutcome o = OutcomeOf(FaultOfFailure(iCode, e), kSome);
                Require(o.pCompletionCode && std::string(o.pCompletionCode) != "success",
                        "a failure never completes as success");
            }
        }
    } catch (const std::exception& e) {
        fuzz::Fail("exception: %s", e.what());
    }
    return 0;
}

#include "infra/result_codes.h"

namespace quillon {

bool IsSuccess(Code eCode) {
    return eCode == Code::Ok || (eCode >= Code::Positive && eCode <= Code::ReplyP22) ||
           eCode == Code::ReplyP30 || eCode == Code::ReplyP31;
}

bool IsSilent(Code eCode) {
    return eCode == Code::NoAck || eCode == Code::BadAck || eCode == Code::NoReply;
}

bool IsSuccessCode(int iCode) {
    return IsSuccess(static_cast<Code>(iCode));
}

bool IsSilentCode(int iCode) {
    return IsSilent(static_cast<Code>(iCode));
}

} // namespace quillon

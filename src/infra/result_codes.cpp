#include "infra/result_codes.h"

namespace quillon {

bool IsSuccessCode(int iCode) {
    return iCode == 0 || (iCode >= 1201 && iCode <= 1210) || iCode == 1212 || iCode == 1213;
}

bool IsSilentCode(int iCode) {
    return iCode == 1225 || iCode == 1226 || iCode == 1299;
}

bool IsSuccess(Code eCode) {
    return IsSuccessCode(ToInt(eCode));
}

bool IsSilent(Code eCode) {
    return IsSilentCode(ToInt(eCode));
}

} // namespace quillon

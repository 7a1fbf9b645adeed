#include "readers/reader_type.h"

#include "infra/reader_comm.h"

namespace quillon {

namespace {
constexpr const char* kTypeKey = "CardReaderType"; // section and key
} // namespace

bool bConfiguredType(OReaderComm& comm, ReaderType& eType) {
    int iType = 0;
    if (comm.iGetIntValue(kTypeKey, kTypeKey, iType) != 0)
        return false;
    eType = static_cast<ReaderType>(iType);
    return true;
}

int iStoreType(OReaderComm& comm, ReaderType eType) {
    return comm.iSetIntValue(kTypeKey, kTypeKey, static_cast<int32_t>(eType));
}

} // namespace quillon

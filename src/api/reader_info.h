// The reader information (Quillon_GetReaderInfo): what the library knows of
// the reader it serves, from the row of its variant and its family's facts,
// the driver's capabilities and the library's version. Nothing is sent.
#pragma once

#include "quillon/idc.h"
#include "readers/reader_type.h"

namespace quillon {

class OReaderComm;

// The whole record for a reader of type eType (None: no reader served yet);
// pCaps: the driver's capabilities (null: none); comm: the configuration
// and the library's version text.
tQuillonReaderInfo ReaderInfoOf(ReaderType eType, const tIdcCaps* pCaps, OReaderComm& comm);

} // namespace quillon

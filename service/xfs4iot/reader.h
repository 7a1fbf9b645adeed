// The reader as the service drives it: the library's exports, one call per
// method, with the result and the library code handed back. The only file
// of the service that calls the library. Used by the reader worker alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catalog.h"
#include "codes.h"
#include "hooks.h"

namespace quillon::xfs {

struct tCall {
    int iResult = 1; // the export's result: 0 success
    int iCode = 0;   // the library code (a track operation's code result wins)
    bool bOk() const { return iResult == 0; }
};

// Card position of the status record (field 1).
enum class Position { Unknown, None, Gate, Inside, Stuck };

// What the library tells of the reader it serves, read at every opening.
// Until it has told: a reader of no known family that is offered every
// command and whose retain count is not known.
struct tReaderFacts {
    Family eFamily = Family::Unknown;
    unsigned uFeatures = kNeedsTrackWrite | kNeedsRetainCounter; // catalog's bits
    bool bChipT0 = true, bChipT1 = true;
    int iRetainedLifeValue = -1; // the life counter holding the retain bin's count; -1: none
    std::string sModel, sFirmware, sLibVersion;
};

class OReaderPort {
public:
    explicit OReaderPort(OServiceEvents& hooks) : m_hooks(hooks) {}

    // Opens the reader the configuration names and initialises it, the
    // card staying where it is; asks the library what the reader is.
    tCall Open();
    void vClose();

    tCall Status(Position& ePosition);
    tCall Init(int iMode);
    tCall Accept();
    tCall ReadTracks(std::string asTracks[3]);
    tCall WriteTrack(int iTrack, const std::vector<uint8_t>& data);
    // iAction 1 power on, 2 reset, 3 off; answer and chip type on 1 and 2.
    tCall ChipPower(int iAction, std::vector<uint8_t>& answer, uint32_t& uiType);
    tCall ChipIo(const std::vector<uint8_t>& command, std::vector<uint8_t>& reply);
    tCall Eject();
    tCall Retain(uint32_t& uiCount);
    tCall Life(uint32_t auiValues[11]);
    tCall ResetRetainCount();

    // What the library told at the last Open.
    const tReaderFacts& Facts() const { return m_facts; }

private:
    tCall Done(const char* pFunction, int iResult, int iRecordCode);
    void vReadFacts();

    OServiceEvents& m_hooks;
    tReaderFacts m_facts;
};

} // namespace quillon::xfs

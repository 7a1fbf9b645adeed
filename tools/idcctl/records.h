// Decoding of the library's records into named fields: result codes, reader
// status, capabilities, life counters, magnetic tracks, chip types.
//
// Field meanings that differ between reader families are given for the
// values all families share; any other value is shown as a plain number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <quillon/idc.h>

#include "hex.h"
#include "json.h"

namespace idcctl {

// Success class of library codes: 0, 1201..1210, 1212, 1213.
bool CodeIsSuccess(int code);
// The library-wide meaning of a code; empty for codes whose meaning is the
// reader's own (the families' reply-code maps).
std::string CodeMeaning(int code);

struct Field {
    int index = 0;
    std::string name;  // key for scripts
    std::string label; // for people
    int64_t value = 0;
    std::string meaning; // empty when nothing can be said about the value
};

std::vector<Field> DecodeStatus(const tIdcStatus& status);
std::vector<Field> DecodeLife(const tIdcLife& life);

struct TextField {
    std::string name;
    std::string label;
    Bytes bytes; // up to the first zero byte, within the field
};

struct Capabilities {
    std::vector<Field> numbers; // the eight 16-bit fields, index = byte offset
    std::vector<TextField> texts;
};
Capabilities DecodeCaps(const tIdcCaps& caps);

struct Track {
    int number = 0;
    uint32_t length = 0; // as the library reported it
    Bytes data;          // what the record holds: never more than the area
};
std::vector<Track> DecodeTracks(const tIdcTracks& tracks);

std::string ChipTypeMeaning(uint32_t type);

// Rendering shared by the subcommands.
std::vector<std::string> FieldLines(const std::vector<Field>& fields);
Json FieldsJson(const std::vector<Field>& fields);
std::vector<std::string> TextFieldLines(const std::vector<TextField>& texts);
Json TextFieldsJson(const std::vector<TextField>& texts);
std::vector<std::string> TrackLines(const std::vector<Track>& tracks);
Json TracksJson(const std::vector<Track>& tracks);

} // namespace idcctl

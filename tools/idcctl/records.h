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
bool code_is_success(int code);
// The library-wide meaning of a code; empty for codes whose meaning is the
// reader's own (the families' reply-code maps).
std::string code_meaning(int code);

struct Field {
    int index = 0;
    std::string name;  // key for scripts
    std::string label; // for people
    int64_t value = 0;
    std::string meaning; // empty when nothing can be said about the value
};

std::vector<Field> decode_status(const tIdcStatus& status);
std::vector<Field> decode_life(const tIdcLife& life);

struct TextField {
    std::string name;
    std::string label;
    Bytes bytes; // up to the first zero byte, within the field
};

struct Capabilities {
    std::vector<Field> numbers; // the eight 16-bit fields, index = byte offset
    std::vector<TextField> texts;
};
Capabilities decode_caps(const tIdcCaps& caps);

struct Track {
    int number = 0;
    uint32_t length = 0; // as the library reported it
    Bytes data;          // what the record holds: never more than the area
};
std::vector<Track> decode_tracks(const tIdcTracks& tracks);

std::string chip_type_meaning(uint32_t type);

// Rendering shared by the subcommands.
std::vector<std::string> field_lines(const std::vector<Field>& fields);
Json fields_json(const std::vector<Field>& fields);
std::vector<std::string> text_field_lines(const std::vector<TextField>& texts);
Json text_fields_json(const std::vector<TextField>& texts);
std::vector<std::string> track_lines(const std::vector<Track>& tracks);
Json tracks_json(const std::vector<Track>& tracks);

} // namespace idcctl

// The INI configuration store. Section and key names compare without regard
// to case; ';' and '#' start comments; integers are decimal or 0x hex.
#pragma once

#include <string>

namespace quillon {

// The path the host named with SetConfigPath, else QUILLON_CONFIG, else
// "Quillon.ini" in the working directory.
std::string ConfigPath();
// The same path as a text that needs no copy (valid until the environment
// changes; a named path stays valid).
const char* ConfigPathText();
// Names the configuration file from the next lookup on, without touching the
// environment (another thread may be reading it); null or "" forgets it.
// Safe while other threads use the library.
void SetConfigPath(const char* pPath);

// The file is taken only when it is a regular file (or a link to one) of at
// most 1 MiB; anything else counts as missing for a lookup and makes a
// write fail without touching it.

// 0: found, iValue set. 1: missing file, section or key, or not an integer;
// iValue left alone.
int ConfigGetInt(const std::string& path, const char* pSection, const char* pKey, int& iValue);

// 0: string value found (trimmed, comments removed). 1: missing.
int ConfigGetString(const std::string& path, const char* pSection, const char* pKey,
                    std::string& value);

// Writes key=value into the section, keeping every other line byte for byte;
// creates the file, section or key when missing, but never rewrites a file
// that exists and cannot be read. The file is replaced atomically, through a
// link to it, keeping its permissions and owner: a failed write leaves the
// old file intact. 0: stored.
int ConfigSetInt(const std::string& path, const char* pSection, const char* pKey, int iValue);

} // namespace quillon

// The INI configuration store. Section and key names compare without regard
// to case; ';' and '#' start comments; integers are decimal or 0x hex.
#pragma once

#include <string>

namespace quillon {

// QUILLON_CONFIG, else "Quillon.ini" in the working directory.
std::string ConfigPath();

// 0: found, iValue set. 1: missing file, section or key, or not an integer;
// iValue left alone.
int ConfigGetInt(const std::string& path, const char* pSection, const char* pKey, int& iValue);

// 0: string value found (trimmed, comments removed). 1: missing.
int ConfigGetString(const std::string& path, const char* pSection, const char* pKey,
                    std::string& value);

// Writes key=value into the section, keeping every other line byte for byte;
// creates the file, section or key when missing. The file is replaced
// atomically: a failed write leaves the old file intact. 0: stored.
int ConfigSetInt(const std::string& path, const char* pSection, const char* pKey, int iValue);

} // namespace quillon

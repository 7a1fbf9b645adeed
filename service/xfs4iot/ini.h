// Reads one value from the library's configuration file, the way the
// library reads it: section and key names ignore case, ';' and '#' start a
// comment, the first matching key counts.
#pragma once

#include <string>

namespace quillon::xfs {

// The trimmed text of the key, or sFallback when it is not there.
std::string IniText(const std::string& sPath, const std::string& sSection, const std::string& sKey,
                    const std::string& sFallback);

// The key as a decimal integer; iFallback when it is not there or not one.
int IniInt(const std::string& sPath, const std::string& sSection, const std::string& sKey,
           int iFallback);

} // namespace quillon::xfs

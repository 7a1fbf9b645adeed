// Reads one integer from the library's configuration file, the way the
// library reads it: section and key names ignore case, ';' and '#' start a
// comment, the first matching key counts.
#pragma once

#include <string>

namespace quillon::xfs {

int IniInt(const std::string& sPath, const std::string& sSection, const std::string& sKey,
           int iFallback);

} // namespace quillon::xfs

#pragma once

#include <string>

#include <fennic/FennicExport.h>

namespace zelvan::fennic {

// The one place where wide text (UTF-32 on this platform) and UTF-8 meet.
// Invalid input never throws: malformed UTF-8 sequences and code points that
// cannot be encoded become U+FFFD.
FENNIC_EXPORT std::string ToUtf8(const std::wstring& wide);
FENNIC_EXPORT std::wstring ToWide(const std::string& utf8);

}  // namespace zelvan::fennic

#pragma once

#include <string>

#include <fennic/FennicExport.h>

namespace zelvan::fennic {

// The one rule for a file name that comes from a server (a package, a data
// file name): true when it names a plain file directly inside the folder it
// is joined to. Refused: the empty name, "." and "..", a separator of either
// kind, NUL and other control characters, and names longer than a file
// system allows (255 bytes). Pure; any thread.
FENNIC_EXPORT bool IsPlainFileName(const std::string& name);

}  // namespace zelvan::fennic

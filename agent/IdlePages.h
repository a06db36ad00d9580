#pragma once

#include <cstddef>

namespace zelvan::fennic::agent {

// Hands back the pages of the program and its shared libraries that are only
// read: the code and constants touched once at start or during the last heart
// beat. They stay in the page cache and come back on the next touch; what the
// agent wrote (data, relocations, heap) is never touched. Skipped while a
// debugger is attached, whose breakpoints live in private copies of code
// pages. Returns the bytes advised.
std::size_t ReleaseIdlePages();

}  // namespace zelvan::fennic::agent

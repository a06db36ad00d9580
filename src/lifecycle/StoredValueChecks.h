#pragma once

#include <string>

namespace zelvan::fennic {

// Checks of values that a server answer hands over for later runs. A value
// stored without them could disable every later request (an address the
// transport cannot use, a token no header can carry). Each returns the empty
// text for a usable value, else why it is refused. Pure; any thread.

// An absolute http or https address with a host, at most 2048 bytes.
std::string ServerAddressFault(const std::string& address);

// At most 8 KiB of visible ASCII (what a header value can carry whole).
// The empty token is usable: it means "not registered".
std::string TokenFault(const std::wstring& token);

}  // namespace zelvan::fennic

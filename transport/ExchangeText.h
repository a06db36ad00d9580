#pragma once

#include <ctime>
#include <string>

namespace zelvan::fennic {

// What a request type number stands for, in words for one-line failure
// texts ("registration", "heart beat", ...); "request type N" for numbers
// without a name.
std::string RequestName(int requestType);

// The seconds a Retry-After header asks for, as decimal text: delay-seconds
// as sent, an HTTP-date as seconds from `now` (0 when already past); empty
// when the header is absent or unreadable.
std::string RetryAfterSeconds(const std::string& header, std::time_t now);

}  // namespace zelvan::fennic

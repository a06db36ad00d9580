#pragma once

#include <string>

namespace zelvan::fennic::agent {

// What a listener event tells the host, in a few words.
std::string EventMeaning(int code);

// One readable line: "TIME event N: meaning[ (text)][ payload]".
std::string EventLine(const std::string& time, int code, const std::string& text, const std::string& payload);

}  // namespace zelvan::fennic::agent

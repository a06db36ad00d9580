#pragma once

#include <string>

#include "IAgentUtils.h"

namespace zelvan::fennic {

// A log line of the HTTP client, written under "HttpRestClient::<where>".
inline void ClientNote(int level, const char* where, const std::string& text) {
  if (auto log = IAgentUtils::getLogManager()) log->Log(level, std::string("HttpRestClient::") + where, text);
}

}  // namespace zelvan::fennic

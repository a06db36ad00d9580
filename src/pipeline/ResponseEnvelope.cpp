#include "ResponseEnvelope.h"

#include "AgentException.h"
#include "StringUtil.h"
#include "TextConversion.h"

namespace zelvan::fennic {

web::json::value ParseAnswer(const std::string& text) { return web::json::value::parse(text); }

void CheckServerStatus(const web::json::value& answer, const char* failureText) {
  if (!answer.at("validateResponseStatus").as_bool()) throw AgentException(failureText);
}

void CheckResponseCommand(const web::json::value& answer) {
  if (answer.at("ResposeCommand").as_integer() == 45) throw AgentException("Unknown Command received from server");
}

bool ReadOutcome(const web::json::value& answer, const char* key) { return answer.at(key).as_bool(); }

std::string ReadErrorMessage(const web::json::value& answer) { return answer.at("ErrorMessage").as_string(); }

bool ValidateResponse(web::json::value response) {
  CheckServerStatus(response, "Response is false");
  CheckResponseCommand(response);
  return ReadOutcome(response);
}

std::string ReadMemberAsText(const web::json::value& member) {
  return ToUtf8(StringUtil::stripQuotes(ToWide(member.serialize())));
}

}  // namespace zelvan::fennic

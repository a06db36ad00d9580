#pragma once

#include <cpprest/json.h>

#include <string>

namespace zelvan::fennic {

// Every server answer is one JSON object whose envelope is tested in a fixed
// order: "validateResponseStatus", "ResposeCommand", then the outcome key.
// A missing member or a member of the wrong type raises
// web::json::json_exception; the failures below raise AgentException.

// Parses an answer text. Throws web::json::json_exception on bad JSON.
web::json::value ParseAnswer(const std::string& text);

// "validateResponseStatus" false raises AgentException(failureText).
void CheckServerStatus(const web::json::value& answer, const char* failureText);

// "ResposeCommand" 45 raises AgentException("Unknown Command received from server").
void CheckResponseCommand(const web::json::value& answer);

// The outcome member ("validateResponse" or "validateResponseFromServer").
bool ReadOutcome(const web::json::value& answer, const char* key = "validateResponse");

// "ErrorMessage" as UTF-8 text.
std::string ReadErrorMessage(const web::json::value& answer);

// The shared check: status ("Response is false"), command, then the value
// of "validateResponse".
bool ValidateResponse(web::json::value response);

// A member read as text: serialised and stripped of enclosing quotes, so a
// string yields its content and a number its digits.
std::string ReadMemberAsText(const web::json::value& member);

}  // namespace zelvan::fennic

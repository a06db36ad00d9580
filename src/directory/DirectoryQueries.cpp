// Directory group queries: the server's queries go to the host as event
// 14, the host's verdicts come back as a queued message, and the merged
// answer is uploaded before the update check goes on. One batch at a time:
// a batch is in progress exactly while the pending list is an array.
#include <system_error>

#include "AgentException.h"
#include "CRestExecutor.h"
#include "ResponseEnvelope.h"
#include "RestRequestType.h"

using namespace zelvan::fennic;

namespace {
// Only a number that fits an int is a verdict: 4294967297 is not 1.
const char* Verdict(const web::json::value& status) {
  if (status.is_integer() && status.as_number().is_int32()) {
    if (status.as_integer() == 1) return "Valid";
    if (status.as_integer() == 0) return "InValid";
  }
  return "NA";
}
}  // namespace

void CRestExecutor::ManageGetADQuery() {
  const std::string where = "CRestExecutor::ManageGetADQuery";
  try {
    const std::string response = Execute(GET_AD_QUERY_REQ, std::string());
    if (response.empty()) {
      Log(2, where, "Get AD query response is empty");
      return;
    }
    const web::json::value answer = ParseAnswer(response);
    if (!ValidateResponse(answer)) throw AgentException("Getting updates failed");
    Log(2, where, "AD query has been received successfully");
    if (answer.at("ADUpdates").size() > 0) {
      ProcessADUpdates(response);
    } else if (hasCancelUpdates_.load()) {
      SendRestMessage(CANCEL_UPDATE_REQ);
    } else if (hasUpdates_.load()) {
      SendRestMessage(GET_UPDATES_REQ);
    } else {
      FinishUpdateCheck();
    }
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
    CheckForUpdateFailedEvent(false, 0);
  } catch (const std::system_error& e) {
    Log(5, where, e.what());
    CheckForUpdateFailedEvent(false, 0);
  } catch (const std::bad_exception& e) {
    Log(5, where, e.what());
    CheckForUpdateFailedEvent(false, 0);
  }
}

void CRestExecutor::ProcessADUpdates(const std::string& responseText) {
  const std::string where = "CRestExecutor::ProcessADUpdates";
  try {
    if (m_aADUpdatesList.is_array()) {
      Log(3, where, "isUserInGroup check is in progress. Ignoring!");
      return;
    }
    m_aADUpdatesList = ParseAnswer(responseText).at("ADUpdates");
    web::json::value queries = web::json::value::array();
    std::size_t n = 0;
    for (const auto& entry : m_aADUpdatesList.as_array()) {
      // The query travels as the contents of a JSON string literal.
      const std::string literal = "\"" + ReadMemberAsText(entry.at("ADSelectQuery")) + "\"";
      queries[n++] = web::json::value::parse(literal);
    }
    if (n == 0) return;
    web::json::value payload = web::json::value::object();
    payload["Query"] = queries;
    const std::string text = payload.serialize();
    RaiseEvent(14, std::string(), text.c_str());
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  } catch (const std::system_error& e) {
    Log(5, where, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, where, e.what());
  }
}

void CRestExecutor::HandleInGroupResult(const std::string& resultText) {
  const std::string where = "CRestExecutor::HandleInGroupResult";
  const auto reset = [this] { m_aADUpdatesList = web::json::value::string("[]"); };
  try {
    if (m_aADUpdatesList.as_array().size() == 0) {
      Log(3, where, "m_aADUpdatesList is empty!");
      reset();
      return;
    }
    const web::json::value result = ParseAnswer(resultText);
    if (!result.has_field("Status") || result.at("Status").as_array().size() == 0) {
      Log(3, where, "isUserInGroup status is empty!");
      reset();
      return;
    }
    const web::json::array& status = result.at("Status").as_array();
    if (status.size() != m_aADUpdatesList.size()) {
      Log(3, where, "isUserInGroup status is size not matching to array size!");
      reset();
      return;
    }
    for (std::size_t i = 0; i < status.size(); ++i) {
      web::json::value entry = m_aADUpdatesList.at(i);
      entry["UserStatus"] = web::json::value::string(Verdict(status.at(i)));
      m_aADUpdatesList[i] = entry;
    }
    web::json::value upload = web::json::value::object();
    upload["ADUpdates"] = m_aADUpdatesList;
    const std::string text = upload.serialize();
    reset();
    ManageADUpdates(text);
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  } catch (const std::system_error& e) {
    Log(5, where, e.what());
  } catch (const std::bad_exception& e) {
    Log(5, where, e.what());
  }
}

void CRestExecutor::ManageADUpdates(const std::string& body) {
  try {
    Execute(AD_UPDATES_REQ, body);  // the answer is not examined: the batch is over either way
    SendRestMessage(hasCancelUpdates_.load() ? CANCEL_UPDATE_REQ : GET_UPDATES_REQ);
  } catch (const web::json::json_exception& e) {
    Log(5, "CRestExecutor::ManageADUpdates", e.what());
  }
}

void CRestExecutor::HandleUserSessionTerminated() {
  try {
    if (!m_aADUpdatesList.is_array()) return;
    Log(3, "CRestExecutor::HandleUserSessionTerminated",
        "UI exited, continuing HB flow with user in group result as NA for all queries!");
    web::json::value status = web::json::value::array(m_aADUpdatesList.size());
    for (std::size_t i = 0; i < m_aADUpdatesList.size(); ++i) status[i] = web::json::value::number(-1);
    web::json::value result = web::json::value::object();
    result["Status"] = status;
    HandleInGroupResult(result.serialize());
  } catch (const web::json::json_exception& e) {
    Log(5, "CRestExecutor::HandleUserSessionTerminated", e.what());
  }
}

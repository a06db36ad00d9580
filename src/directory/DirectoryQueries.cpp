// Directory group queries: the server's queries go to the host as event
// 14, the host's verdicts come back as a queued message, and the merged
// answer is uploaded before the update check goes on. One batch at a time:
// a batch is in progress exactly while the pending list is an array.
#include <cpprest/http_msg.h>

#include <system_error>
#include <vector>

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

// The queries the host is asked, in list order. An element without a
// usable query is answered "NA" at once: left open, it would hold the batch
// (and every later directory query) until the host gave up.
web::json::value HostQueries(web::json::value& list, std::vector<std::string>& faults) {
  web::json::value queries = web::json::value::array();
  std::size_t n = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    web::json::value& entry = list[i];
    try {
      // The query travels as the contents of a JSON string literal.
      const std::string literal = "\"" + ReadMemberAsText(entry.at("ADSelectQuery")) + "\"";
      queries[n] = web::json::value::parse(literal);
      ++n;
      // What the server put there is no answer: the host's verdict is.
      if (entry.has_field("UserStatus")) entry.erase("UserStatus");
      continue;
    } catch (const web::json::json_exception& e) {
      faults.push_back(std::string("Directory query answered NA, not usable: ") + e.what());
    }
    if (!entry.is_object()) entry = web::json::value::object();
    entry["UserStatus"] = web::json::value::string("NA");
  }
  return queries;
}

// The elements shown to the host: those not answered "NA" already.
std::size_t AskedOf(const web::json::value& list) {
  std::size_t asked = 0;
  for (const auto& entry : list.as_array()) asked += entry.has_field("UserStatus") ? 0 : 1;
  return asked;
}

// No verdict (-1, sent as "NA") for each of `asked` queries.
web::json::value NoVerdicts(std::size_t asked) {
  web::json::value none = web::json::value::array(asked);
  for (std::size_t i = 0; i < asked; ++i) none[i] = web::json::value::number(-1);
  return none;
}

// The host's verdicts, one per query asked. An answer that is not a list of
// as many verdicts still closes the batch, every query answered "NA", so the
// update check goes on instead of waiting for a host that answered already.
web::json::array HostVerdicts(const std::string& resultText, std::size_t asked, std::vector<std::string>& faults) {
  web::json::value result;
  try {
    result = ParseAnswer(resultText);
  } catch (const web::json::json_exception& e) {
    faults.push_back(e.what());
  }
  const bool statusList = result.has_field("Status") && result.at("Status").is_array();
  if (asked > 0 && (!statusList || result.at("Status").size() == 0)) {
    faults.push_back("isUserInGroup status is empty!");
  } else if (statusList && result.at("Status").size() != asked) {
    faults.push_back("isUserInGroup status is size not matching to array size!");
  } else if (statusList) {
    return result.at("Status").as_array();
  }
  return NoVerdicts(asked).as_array();
}
}  // namespace

void CRestExecutor::ManageGetADQuery() {
  const std::string where = "CRestExecutor::ManageGetADQuery";
  try {
    const std::string response = Execute(GET_AD_QUERY_REQ, std::string());
    if (response.empty()) {
      // No answer (any non-2xx gives none) is a failed request: the check ends.
      Log(2, where, "Get AD query response is empty");
      CheckForUpdateFailedEvent(false, 0);
      return;
    }
    const web::json::value answer = ParseAnswer(response);
    if (!ValidateResponse(answer)) throw AgentException("Getting updates failed");
    Log(2, where, "AD query has been received successfully");
    // Anything but a list with elements has no query for the host.
    if (answer.at("ADUpdates").is_array() && answer.at("ADUpdates").size() > 0) {
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
    web::json::value list = ParseAnswer(responseText).at("ADUpdates");
    if (!list.is_array()) throw web::json::json_exception("ADUpdates is not a list");
    m_aADUpdatesList = std::move(list);
    std::vector<std::string> faults;
    const web::json::value queries = HostQueries(m_aADUpdatesList, faults);
    for (const std::string& fault : faults) Log(3, where, fault);
    if (queries.size() == 0) {  // nothing for the host to answer: the batch closes now
      HandleInGroupResult(R"({"Status":[]})");
      return;
    }
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
    const std::size_t asked = AskedOf(m_aADUpdatesList);
    std::vector<std::string> faults;
    const web::json::array status = HostVerdicts(resultText, asked, faults);
    for (const std::string& fault : faults) Log(3, where, fault);
    for (std::size_t i = 0, next = 0; i < m_aADUpdatesList.size(); ++i) {
      web::json::value entry = m_aADUpdatesList.at(i);
      if (entry.has_field("UserStatus")) continue;
      entry["UserStatus"] = web::json::value::string(Verdict(status.at(next++)));
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
  const std::string where = "CRestExecutor::ManageADUpdates";
  // The answer is not examined: the batch is over either way, and a failed
  // upload is asked again by the server. The check goes on in every case;
  // left to the worker's edge, it would end neither well nor badly.
  try {
    Execute(AD_UPDATES_REQ, body);
  } catch (const web::http::http_exception& e) {
    Log(5, where, e.what());
    AlertServerUnreachable();
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  } catch (const std::system_error& e) {
    Log(5, where, e.what());
  }
  SendRestMessage(hasCancelUpdates_.load() ? CANCEL_UPDATE_REQ : GET_UPDATES_REQ);
}

void CRestExecutor::HandleUserSessionTerminated() {
  try {
    if (!m_aADUpdatesList.is_array()) return;
    Log(3, "CRestExecutor::HandleUserSessionTerminated",
        "UI exited, continuing HB flow with user in group result as NA for all queries!");
    const std::size_t asked = AskedOf(m_aADUpdatesList);
    web::json::value result = web::json::value::object();
    result["Status"] = NoVerdicts(asked);
    HandleInGroupResult(result.serialize());
  } catch (const web::json::json_exception& e) {
    Log(5, "CRestExecutor::HandleUserSessionTerminated", e.what());
  }
}

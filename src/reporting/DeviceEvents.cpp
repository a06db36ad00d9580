// Device plug, unplug and inventory reports: the host's text goes to the
// server unchanged; the outcome is only logged.
#include "AgentException.h"
#include "CRestExecutor.h"
#include "ResponseEnvelope.h"
#include "RestRequestType.h"

using namespace zelvan::fennic;

void CRestExecutor::ManageDeviceConnectionEvent(const RestMessage& message, bool plugged) {
  const std::string where = "CRestExecutor::ManageDeviceConnectionEvent";
  const std::string prefix = plugged ? "Device plugin " : "Device UnPlug ";
  const int type = plugged ? DEVICE_PLUGIN_REQ : DEVICE_UNPLUG_REQ;
  try {
    const std::string response = Execute(type, message.data());
    if (response.empty()) {
      Log(2, where, prefix + "Response is empty");
      return;
    }
    Log(2, where, prefix + "Process Response: " + response);
    const web::json::value answer = ParseAnswer(response);
    if (ValidateResponse(answer)) {
      Log(2, where, prefix + "successful");
      MarkServerSeen();
    } else {
      Log(2, where, prefix + "failed with error message : " + ReadErrorMessage(answer));
    }
  } catch (const AgentException& e) {
    Log(5, where, e.what());
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  }
}

void CRestExecutor::ManageDeviceSync(const RestMessage& message) {
  const std::string where = "CRestExecutor::ManageDeviceSync";
  try {
    const std::string response = Execute(DEVICE_SYNC_REQ, message.data());
    if (response.empty()) {
      Log(2, where, "Device sync Response is empty");
      return;
    }
    Log(2, where, "Device Sync Process Response: " + response);
    const web::json::value answer = ParseAnswer(response);
    if (ValidateResponse(answer)) {
      Log(2, where, "Device Sync Successful");
      MarkServerSeen();
    } else {
      Log(2, where, "Device sync failed with error message " + ReadErrorMessage(answer));
    }
  } catch (const web::json::json_exception& e) {
    Log(5, where, e.what());
  }
}

#pragma once

namespace zelvan::fennic {

// Request types. The number is also the first argument of every transport
// call and so names the server request: the values are part of the contract
// with the transport and never change.
enum RestRequestType : int {
  AGENT_REGISTRATION_REQ = 2,
  HEART_BEAT_REQ = 3,
  DEVICE_PLUGIN_REQ = 4,
  DEVICE_UNPLUG_REQ = 5,
  AD_UPDATES_REQ = 6,
  DEVICE_UPDATE_STATUS_REQ = 7,
  DEVICE_SYNC_REQ = 8,
  GET_UPDATES_REQ = 9,
  GET_AD_QUERY_REQ = 10,
  DOWNLOAD_STATUS_REQ = 11,
  DOWNLOAD_FILES = 12,
  CANCEL_UPDATE_REQ = 13,
  CANCEL_RECEIVED_ACK_REQ = 14,
  CLIENT_FORWARD_REQ = 15,
  CC_CONFIG_REQ = 17,
  STOP_WORKER_REQ = 18,
  SOFTPHONE_DETAILS_REQ = 19,
  CALL_DURATION_REQ = 20,
  USER_DETAILS_REQ = 21,
  CONFIG_ACK_REQ = 22,
  VOICE_PROMPT_VERSION_REQ = 23,
  GET_ALL_UPDATES_REQ = 24,
  IN_GROUP_RESULT_REQ = 25,
  TRANSPORT_COMMAND_REQ = 26,
  USER_SESSION_TERMINATED_REQ = 27,
  TRANSPORT_QUERY_REQ = 28,
};

}  // namespace zelvan::fennic

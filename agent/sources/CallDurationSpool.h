#pragma once

#include <functional>
#include <map>
#include <string>

#include "EventLoop.h"

namespace zelvan::fennic::agent {

// Sends every call-duration file ("*.json") dropped into the spool folder
// with client code 14: {"FileInfo": the file's path, "CallData": its JSON}.
// The library deletes a file once the server accepts it; a refused file
// stays and goes again at the next start. Files are found at start and
// then through inotify (closed after writing, or moved in).
class CallDurationSpool {
 public:
  using Send = std::function<void(int code, const std::string& body)>;
  CallDurationSpool(EventLoop& loop, std::string folder, Send send);
  ~CallDurationSpool();
  CallDurationSpool(const CallDurationSpool&) = delete;
  CallDurationSpool& operator=(const CallDurationSpool&) = delete;

  // Throws std::system_error when the folder cannot be watched.
  void Start();

 private:
  void OnNotify();
  void Offer(const std::string& name);

  EventLoop& loop_;
  const std::string folder_;
  Send send_;
  int fd_ = -1;
  // Names sent in this run and not yet deleted, with what was sent: the same
  // text again is one file noticed twice, another text is new data.
  std::map<std::string, std::string> sent_;
};

}  // namespace zelvan::fennic::agent

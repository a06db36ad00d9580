#pragma once

#include <cstddef>
#include <string>

namespace zelvan::fennic {

// One request for the worker: a value type, copied into the queue on push
// and out of it on take. `target` and `downloadKey` are used only by
// DOWNLOAD_FILES messages.
class RestMessage {
 public:
  void setType(int type) { type_ = type; }
  int getType() const { return type_; }
  void setData(const char* data, std::size_t size) { data_.assign(data, size); }
  std::string getData() const { return data_; }
  // The data without a copy, for the worker's own use while it holds the record.
  const std::string& data() const { return data_; }
  void setTarget(const std::wstring& target) { target_ = target; }
  std::wstring getTarget() const { return target_; }
  void setDownloadKey(const std::string& key) { downloadKey_ = key; }
  std::string getDownloadKey() const { return downloadKey_; }

 private:
  std::wstring target_;
  std::string downloadKey_;
  int type_ = 0;
  std::string data_;
};

}  // namespace zelvan::fennic

#include "PlainFileName.h"

#include <algorithm>

namespace zelvan::fennic {

namespace {
constexpr std::size_t kMaxNameBytes = 255;
}  // namespace

bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameBytes || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return c == '/' || c == '\\' || byte < 0x20 || byte == 0x7f;
  });
}

}  // namespace zelvan::fennic

#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// A fresh private folder per test, removed afterwards. Header-only, so the
// program tests that do not link the support library use it too.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = ::testing::TempDir() + "fennic-XXXXXX";
    path = ::mkdtemp(&pattern[0]) ? pattern : std::string();
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string operator/(const std::string& name) const { return path.string() + "/" + name; }
  // Every path below `sub`, relative to it, sorted.
  std::vector<std::string> Names(const std::filesystem::path& sub = {}) const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(path / sub))
      out.push_back(std::filesystem::relative(e.path(), path / sub).string());
    std::sort(out.begin(), out.end());
    return out;
  }

  static std::string Slurp(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  static void Put(const std::string& file, const std::string& text) { std::ofstream(file) << text; }

  std::filesystem::path path;
};

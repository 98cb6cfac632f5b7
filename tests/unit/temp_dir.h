#pragma once
// A fresh folder under /tmp for one test, removed with everything in it when the test ends.
#include <stdlib.h>

#include <filesystem>
#include <string>

class TempDir {
 public:
  explicit TempDir(const std::string& name = "tarn-test") {
    std::string pattern = "/tmp/" + name + "-XXXXXX";
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The folder with its trailing separator.
  std::string Folder() const { return path_.string() + "/"; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

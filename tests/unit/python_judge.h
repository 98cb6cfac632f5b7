#pragma once
// Shared helpers of the native tests whose judges are outside programs (Python's email package
// reads our mail, dnslib our DNS messages, the imaging library our pictures, GNU tar and gzip our
// archives): a temporary folder, a script run on an input file, a shell command, files and bytes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace python_judge {

// A folder under /tmp that is removed with the object.
class TempDir {
 public:
  TempDir() {
    char dirTemplate[] = "/tmp/tarn-judge-XXXXXX";
    path_ = mkdtemp(dirTemplate);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // Writes bytes to the named file in the folder and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path_ / name, std::ios::binary) << bytes;
    return (path_ / name).string();
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  // The folder with its trailing separator.
  std::string Folder() const { return path_.string() + "/"; }

 private:
  std::filesystem::path path_;
};

// Runs script with Debian's python3 (the one that sees Debian's Python packages, whatever else
// is first on the PATH) with the path of a file holding input as its argument. Returns its
// standard output; a failing script fails the calling test.
inline std::string RunPython(const std::string& script, const std::string& input) {
  TempDir dir;
  const std::string command = "/usr/bin/python3 " + dir.Write("judge.py", script) + " " + dir.Write("input", input);
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << command << "\n" << out;
  } else {
    ADD_FAILURE() << "cannot run " << command;
  }
  return out;
}

// The same, its output split into lines.
inline std::vector<std::string> RunPythonLines(const std::string& script, const std::string& input) {
  std::vector<std::string> lines;
  std::istringstream s(RunPython(script, input));
  for (std::string line; std::getline(s, line);) lines.push_back(line);
  return lines;
}

// Runs a shell command; returns what it printed on standard output (the command redirects its
// errors where it wants them) and its status.
inline std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = pclose(p);
  if (status) *status = rc;
  return out;
}

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary);
  out << bytes;
}

inline std::string Hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

inline std::string Unhex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

inline std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

}  // namespace python_judge

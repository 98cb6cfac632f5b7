// Command-line reader of Faultline log files.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "faultline/log/log_file.h"

namespace {

const char* const Usage =
    "usage: flreader list  LOG.flf\n"
    "       flreader show  LOG.flf N\n"
    "       flreader field LOG.flf N ITEM\n"
    "       flreader xml   LOG.flf [-p PASSWORD] [-o OUT.xml]\n"
    "N counts the reports from 1 (the oldest); 0 or \"last\" is the newest.\n"
    "ITEM is an item number of the general sections, such as 2.5 (the message).\n";

void Write(const std::string& s) { std::fwrite(s.data(), 1, s.size(), stdout); }

int Fail(const std::string& message) {
  std::fprintf(stderr, "flreader: %s\n", message.c_str());
  return 1;
}

// The report index for a user's N (1-based; 0 or "last" is the newest); -1 when out of range.
int ReportIndex(const TLogFile& log, const std::string& text) {
  if (text == "last" || text == "0") return log.ReportCount() - 1;
  char* end = nullptr;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != 0 || n < 1 || n > log.ReportCount()) return -1;
  return static_cast<int>(n - 1);
}

std::string FirstLine(const std::string& s) { return s.substr(0, s.find_first_of("\r\n")); }

std::string WithoutEnd(std::string s) {
  while (s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0) s.resize(s.size() - 2);
  return s + "\r\n";
}

int Run(const std::vector<std::string>& args) {
  if (args.size() < 2) return Fail(std::string("missing arguments\n") + Usage);
  const std::string& command = args[0];
  const std::string& name = args[1];
  if (!DefaultLogStorage().FileExists(name)) return Fail("no such log file: " + name);
  TLogFile log(name, true);

  if (command == "list" && args.size() == 2) {
    for (int i = 0; i < log.ReportCount(); ++i) {
      char num[16];
      std::snprintf(num, sizeof num, "%3d", i + 1);
      Write(std::string(num) + "  " + log.FieldValue("2.1", i) + "  " + log.FieldValue("2.4", i) +
            "  " + FirstLine(log.FieldValue("2.5", i)) + "\n");
    }
    return 0;
  }
  if (command == "show" && args.size() == 3) {
    const int i = ReportIndex(log, args[2]);
    if (i < 0) return Fail("no report " + args[2] + " (the log holds " + std::to_string(log.ReportCount()) + ")");
    Write(WithoutEnd(log.Report(i)));
    return 0;
  }
  if (command == "field" && args.size() == 4) {
    const int i = ReportIndex(log, args[2]);
    if (i < 0) return Fail("no report " + args[2] + " (the log holds " + std::to_string(log.ReportCount()) + ")");
    Write(log.FieldValue(args[3], i) + "\n");
    return 0;
  }
  if (command == "xml") {
    std::string out;
    for (size_t a = 2; a < args.size(); ++a) {
      if (args[a] == "-p" && a + 1 < args.size())
        log.SetPassword(args[++a]);
      else if (args[a] == "-o" && a + 1 < args.size())
        out = args[++a];
      else
        return Fail("unknown option " + args[a] + "\n" + Usage);
    }
    if (out.empty())
      Write(log.XmlDocument());
    else
      log.SaveXmlDocument(out);
    return 0;
  }
  return Fail(std::string("unknown command or wrong arguments\n") + Usage);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Reports are CR LF text already: no second CR from the console stream.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}

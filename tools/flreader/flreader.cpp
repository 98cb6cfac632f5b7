// Command-line reader of Faultline log files.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "faultline/log/log_file.h"
#include "faultline/log/log_reader.h"
#include "tools/flreader/html_pages.h"
#include "tools/flreader/log_input.h"
#include "tools/flreader/report_group.h"
#include "tools/flreader/report_view.h"
#ifndef _WIN32
#include "tools/flreader/upload_server.h"
#endif

namespace {

const char* const Usage =
    "usage: flreader list  LOG.flf\n"
    "       flreader show  LOG.flf N\n"
    "       flreader field LOG.flf N ITEM\n"
    "       flreader xml   LOG.flf [-p PASSWORD] [-o OUT.xml]\n"
    "       flreader group LOG.flf|ARCHIVE.tgz... [--json] [-p PASSWORD]\n"
    "       flreader html  LOG.flf|ARCHIVE.tgz -o DIR [-p PASSWORD]\n"
    "       flreader serve --dir DIR [--port P] [--bind ADDRESS] [--max-mb N] [-p PASSWORD]\n"
    "N counts the reports from 1 (the oldest); 0 or \"last\" is the newest.\n"
    "ITEM is an item number of the general sections, such as 2.5 (the message).\n";

// A command line that does not ask for anything this program does.
struct TUsageError {
  std::string Message;
};

void Write(std::string_view s) { std::fwrite(s.data(), 1, s.size(), stdout); }

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

// Options of a command: those named in withValue take the next argument; the rest of the
// arguments are returned as operands.
struct TOptions {
  std::vector<std::string> Operands;
  std::string Password, Out;
  bool Json = false;
};

TOptions ReadOptions(const std::vector<std::string>& args, bool allowJson, bool allowOut) {
  TOptions o;
  for (size_t a = 1; a < args.size(); ++a) {
    const std::string& s = args[a];
    if (s == "-p" && a + 1 < args.size())
      o.Password = args[++a];
    else if (allowOut && s == "-o" && a + 1 < args.size())
      o.Out = args[++a];
    else if (allowJson && s == "--json")
      o.Json = true;
    else if (s.size() > 1 && s[0] == '-')
      throw TUsageError{"unknown option " + s};
    else
      o.Operands.push_back(s);
  }
  return o;
}

void NeedFile(const std::string& name) {
  if (!DefaultLogStorage().FileExists(name)) throw ELogFileError("no such log file: " + name);
}

int Xml(const std::vector<std::string>& args) {
  const TOptions o = ReadOptions(args, false, true);
  if (o.Operands.size() != 1) throw TUsageError{"xml takes one log file"};
  NeedFile(o.Operands[0]);
  if (o.Out.empty()) {
    WriteLogXml(o.Operands[0], o.Password, Write);
    return 0;
  }
  struct TCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, TCloser> out(std::fopen(o.Out.c_str(), "wb"));
  if (!out) return Fail("cannot create " + o.Out);
  bool ok = true;
  WriteLogXml(o.Operands[0], o.Password,
              [&](std::string_view s) { ok = ok && std::fwrite(s.data(), 1, s.size(), out.get()) == s.size(); });
  if (std::fclose(out.release()) != 0 || !ok) return Fail("cannot write " + o.Out);
  return 0;
}

int Group(const std::vector<std::string>& args) {
  const TOptions o = ReadOptions(args, true, false);
  if (o.Operands.empty()) throw TUsageError{"group takes at least one log file or archive"};
  TGrouping grouping;
  for (size_t i = 0; i < o.Operands.size(); ++i) {
    NeedFile(o.Operands[i]);
    int number = 0;
    ForEachInputReport(o.Operands[i], [&](std::string&& report) {
      grouping.Add(GroupViewOfReport(report, o.Password), {i, ++number});
    });
  }
  const std::vector<TReportGroup> groups = grouping.Sorted();
  Write(o.Json ? GroupJson(groups, o.Operands) : GroupTable(groups));
  return 0;
}

int Html(const std::vector<std::string>& args) {
  const TOptions o = ReadOptions(args, false, true);
  if (o.Operands.size() != 1 || o.Out.empty()) throw TUsageError{"html takes one log file or archive and -o DIR"};
  NeedFile(o.Operands[0]);
  const THtmlResult r = WriteHtmlPages(o.Operands[0], o.Out, o.Password);
  std::fprintf(stderr, "flreader: %d reports in %d groups written to %s\n", r.Reports, r.Groups, o.Out.c_str());
  return 0;
}

// A whole decimal number from lo to hi, else a usage error naming the option.
long NumberOption(const std::string& option, const std::string& text, long lo, long hi) {
  char* end = nullptr;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != 0 || n < lo || n > hi) throw TUsageError{"bad value for " + option + ": " + text};
  return n;
}

int ServeCommand(const std::vector<std::string>& args) {
#ifdef _WIN32
  (void)args;
  std::fprintf(stderr, "flreader: serve is not available in the Windows build; run the native flreader\n");
  return 2;
#else
  TServeOptions o;
  for (size_t a = 1; a < args.size(); ++a) {
    const std::string& s = args[a];
    if (a + 1 >= args.size()) throw TUsageError{"serve: " + s + " needs a value"};
    const std::string& v = args[++a];
    if (s == "--dir")
      o.Dir = v;
    else if (s == "--port")
      o.Port = static_cast<int>(NumberOption(s, v, 0, 65535));
    else if (s == "--bind")
      o.Bind = v;
    else if (s == "--max-mb")
      o.MaxBytes = static_cast<uint64_t>(NumberOption(s, v, 1, 1L << 20)) << 20;
    else if (s == "-p")
      o.Password = v;
    else
      throw TUsageError{"unknown option " + s};
  }
  if (o.Dir.empty()) throw TUsageError{"serve takes --dir DIR"};
  return Serve(o);
#endif
}

int Run(const std::vector<std::string>& args) {
  if (args.empty()) throw TUsageError{"missing arguments"};
  const std::string& command = args[0];
  if (command == "-h" || command == "--help" || command == "help") {
    Write(Usage);
    return 0;
  }
  if (command == "xml") return Xml(args);
  if (command == "group") return Group(args);
  if (command == "html") return Html(args);
  if (command == "serve") return ServeCommand(args);
  const size_t wanted = command == "list" ? 2 : command == "show" ? 3 : command == "field" ? 4 : 0;
  if (wanted == 0) throw TUsageError{"unknown command " + command};
  if (args.size() != wanted) throw TUsageError{"wrong arguments for " + command};
  const std::string& name = args[1];
  NeedFile(name);
  TLogFile log(name, true);

  if (command == "list") {
    for (int i = 0; i < log.ReportCount(); ++i) {
      char num[16];
      std::snprintf(num, sizeof num, "%3d", i + 1);
      Write(std::string(num) + "  " + log.FieldValue("2.1", i) + "  " + log.FieldValue("2.4", i) +
            "  " + FirstLine(log.FieldValue("2.5", i)) + "\n");
    }
    return 0;
  }
  const int i = ReportIndex(log, args[2]);
  if (i < 0) return Fail("no report " + args[2] + " (the log holds " + std::to_string(log.ReportCount()) + ")");
  if (command == "show")
    Write(WithoutEnd(log.Report(i)));
  else
    Write(log.FieldValue(args[3], i) + "\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Reports are CR LF text already: no second CR from the console stream.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const TUsageError& e) {
    std::fprintf(stderr, "flreader: %s\n%s", e.Message.c_str(), Usage);
    return 2;
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}

// Building a report of 300 call-stack entries and 100 modules, against concatenating the same
// lines into one string; and adding plus saving a report to a log of 32 reports, against copying
// the log file with the system's file copy. Prints the times and the ratios.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "faultline/log/log_file.h"
#include "faultline/report/log_item.h"
#include "faultline/options/options.h"
#include "faultline/report/report_format.h"
#include "faultline/report/report_text.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double SecondsPerRun(int runs, F f) {
  const auto start = Clock::now();
  for (int i = 0; i < runs; ++i) f();
  return std::chrono::duration<double>(Clock::now() - start).count() / runs;
}

struct TBigReport {
  std::vector<TFaultModuleInfo> Modules;
  TReportData Data;
  TBigReport() {
    Modules.resize(100);
    for (int i = 0; i < 100; ++i) {
      TFaultModuleInfo& m = Modules[i];
      m.Handle = 0x10000000u + i * 0x10000u;
      m.Path = "C:\\Program Files\\Tarn\\plugins\\module" + std::to_string(i) + ".dll";
      m.Description = "Plug-in number " + std::to_string(i);
      m.Version = "1.2." + std::to_string(i) + ".0";
      m.FileSize = 100000u + i * 517u;
      m.ModifiedTime = EncodeDateTime(2026, 1 + i % 12, 1 + i % 28, i % 24, i % 60, i % 60);
    }
    Data.Modules = Modules;
    Data.ApplicationName = "prog.exe";
    Data.ExceptionType = "EAccessViolation";
    Data.ExceptionMessage = "Access violation at address 0044A1F2";
    Data.MainThreadId = 100;
    for (int t = 0; t < 5; ++t) Data.Threads.push_back({100u + t, 0, 0, t > 0, "TWorker"});
    for (int i = 0; i < 300; ++i) {
      TFaultDebugInfo e;
      e.Kind = 4;
      e.Module = &Modules[i % 100];
      e.ThreadId = 100 + i / 60;
      e.Running = true;
      e.Address = 0x00401000u + i * 37u;
      e.UnitName = "unit" + std::to_string(i % 40) + ".cpp";
      e.ClassName = i % 3 ? "TWorkerThread" : "";
      e.ProcedureName = "Procedure" + std::to_string(i);
      e.Line = 100 + i;
      e.LineOffset = i % 9;
      Data.Stack.push_back(e);
    }
    Data.Cpu.HasContext = Data.Cpu.StackReadable = Data.Cpu.DumpReadable = true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
  TReportLayout layout;
  layout.Texts = DefaultCustomizedTexts();
  layout.StackFlags = 0x1F;
  TBigReport big;

  // 1. The report text against a plain concatenation of its lines.
  std::string report = BuildReportText(big.Data, layout).Report;
  std::vector<std::string> lines;
  SplitLines(report, lines);
  const double build = SecondsPerRun(runs, [&] { report = BuildReportText(big.Data, layout).Report; });
  std::string concatenated;
  const double concat = SecondsPerRun(runs, [&] {
    concatenated.clear();
    for (const std::string& l : lines) {
      concatenated += l;
      concatenated += "\r\n";
    }
  });
  if (concatenated != report) std::fprintf(stderr, "peer text differs\n");
  std::printf("report text (%zu bytes, 300 entries, 100 modules): %.1f us; concatenation %.1f us; ratio %.1f\n",
              report.size(), build * 1e6, concat * 1e6, build / concat);

  // 2. Add and save to a log of 32 reports against a file copy of that log.
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "bench_reporttext";
  std::filesystem::create_directories(dir);
  const std::string log = (dir / "bench.flf").string();
  const std::string copy = (dir / "copy.flf").string();
  std::filesystem::remove(log);
  {
    TLogFile f(log, false);
    for (int i = 0; i < 32; ++i) f.AddReport(report, 32);
    f.Save();
  }
  const int logRuns = runs / 4 > 0 ? runs / 4 : 1;
  const double save = SecondsPerRun(logRuns, [&] {
    TLogFile f(log, false);
    f.AddReport(report, 32);
    f.Save();
  });
  const double fileCopy = SecondsPerRun(logRuns, [&] {
    // Remove first: libstdc++'s overwrite of an existing file fails on Windows.
    std::filesystem::remove(copy);
    std::filesystem::copy_file(log, copy);
  });
  std::printf("add and save to a log of 32 reports (%ju bytes): %.1f us; file copy %.1f us; ratio %.1f\n",
              static_cast<uintmax_t>(std::filesystem::file_size(log)), save * 1e6, fileCopy * 1e6,
              save / fileCopy);
  std::filesystem::remove_all(dir);
  return 0;
}

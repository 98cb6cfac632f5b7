// Capture benchmark. A throw that the program catches itself, at stack depths 10 and 40, with
// Faultline active against the same program before it was started (the peer: the bare throw);
// and the time from a fault to its report saved in the log, with 30 frames on the stack and some
// 50 modules loaded, no dialog; and the same with a minidump beside the report.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "faultline/capture/capture.h"
#include "faultline/include/faultline/faultline.h"
#include "faultline/lists/modules_list.h"
#include "faultline/options/module_options.h"
#include "faultline/report/report_environment.h"
#include "bench/win_clock.h"

namespace {

int Thrower(int depth);
int (*volatile next)(int) = &Thrower;

__attribute__((noinline)) int Thrower(int depth) {
  if (depth == 0) throw std::runtime_error("benchmark");
  return next(depth - 1) + 1;
}

// Microseconds per caught throw, the best of several rounds.
double ThrowCost(int depth) {
  double best = 1e9;
  for (int round = 0; round < 7; ++round) {
    const int n = 200;
    const double t0 = Now();
    for (int i = 0; i < n; ++i) {
      try {
        Thrower(depth);
      } catch (const std::exception&) {
      }
    }
    best = std::min(best, (Now() - t0) / n);
  }
  return best * 1e6;
}

double reportSeconds = 1e9;

int ReportAt(int depth);
int (*volatile nextReport)(int) = &ReportAt;

__attribute__((noinline)) int ReportAt(int depth) {
  if (depth > 0) return nextReport(depth - 1) + 1;
  try {
    throw std::runtime_error("reported by the benchmark");
  } catch (...) {
    std::exception_ptr e = std::current_exception();
    const double t0 = Now();
    ExceptionManager(&e, nullptr, PresentGeneral, nullptr);
    reportSeconds = std::min(reportSeconds, Now() - t0);
  }
  return 0;
}

// The program's own report of a caught exception and of a message, through the public interface:
// from the call to the report saved in the log, the best of several.
double callReportSeconds = 1e9, messageSeconds = 1e9;

int ReportCaughtAt(int depth);
int (*volatile nextCaught)(int) = &ReportCaughtAt;

__attribute__((noinline)) int ReportCaughtAt(int depth) {
  if (depth > 0) return nextCaught(depth - 1) + 1;
  try {
    throw std::runtime_error("caught and reported by the benchmark");
  } catch (...) {
    const double t0 = Now();
    faultline::Report(std::current_exception());
    callReportSeconds = std::min(callReportSeconds, Now() - t0);
  }
  const double t0 = Now();
  faultline::ReportMessage("a message of the benchmark");
  messageSeconds = std::min(messageSeconds, Now() - t0);
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Some 50 modules, as a larger program has.
  const char* libraries[] = {"comctl32", "ole32", "oleaut32", "shell32", "shlwapi", "advapi32", "ws2_32",
                             "wininet", "iphlpapi", "version", "winmm", "comdlg32", "winspool.drv", "crypt32",
                             "secur32", "setupapi", "urlmon", "dbghelp", "imm32", "msimg32", "riched20",
                             "psapi", "userenv", "netapi32", "dnsapi", "mpr", "uxtheme", "wintrust", "msacm32",
                             "avifil32", "glu32", "opengl32", "dwmapi", "hid", "mapi32", "msvfw32", "odbc32",
                             "olepro32", "rasapi32", "rpcrt4", "sensapi", "usp10", "wtsapi32", "cabinet",
                             "credui", "d3d9", "ddraw", "dinput8", "dsound", "gdiplus"};
  for (const char* name : libraries) LoadLibraryA(name);
  const double bare10 = ThrowCost(10), bare40 = ThrowCost(40);
  // Every run starts from an empty log: saving rewrites it, so an older run's reports would count.
  DeleteFileA(FaultLoadOwnOptions().LogFileName().c_str());
  FaultlineStart();
  // No dialog: the figure is the report itself, made and saved.
  ReportSeams().ShowDialog = [](const TReportTexts&, TPresentation) { return true; };
  const double active10 = ThrowCost(10), active40 = ThrowCost(40);
  for (int i = 0; i < 5; ++i) ReportAt(30);
  for (int i = 0; i < 5; ++i) ReportCaughtAt(30);
  // The same fault's report with a minidump of the stacks beside it (the dump is part of the figure).
  const double withoutDump = reportSeconds;
  reportSeconds = 1e9;
  faultline::SetOptions("MinidumpMode=1");
  for (int i = 0; i < 5; ++i) ReportAt(30);
  const double withDump = reportSeconds;
  faultline::SetOptions("MinidumpMode=0");
  // The newest dump's size, against the text of one report in the log; then the dumps go.
  const std::string log = FaultLoadOwnOptions().LogFileName();
  const std::string folder = log.substr(0, log.find_last_of('\\') + 1);
  uint64_t dumpBytes = 0, dumps = 0;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "*.dmp").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      dumpBytes = std::max<uint64_t>(dumpBytes, (uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow);
      ++dumps;
      DeleteFileA((folder + found.cFileName).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  WIN32_FILE_ATTRIBUTE_DATA logData{};
  GetFileAttributesExA(log.c_str(), GetFileExInfoStandard, &logData);
  const double reportBytes = static_cast<double>(logData.nFileSizeLow) / 20;  // 20 reports so far (64 kept)
  int modules = 0;
  if (FaultModules()) modules = FaultModules()->Count();
  double environment = 1e9;
  for (int i = 0; i < 5; ++i) {
    const double t0 = Now();
    QueryReportEnvironment();
    environment = std::min(environment, Now() - t0);
  }
  FaultlineStop();
  std::printf("caught throw, depth 10: bare %7.2f us, Faultline active %7.2f us, ratio %.2f\n", bare10, active10,
              active10 / bare10);
  std::printf("caught throw, depth 40: bare %7.2f us, Faultline active %7.2f us, ratio %.2f\n", bare40, active40,
              active40 / bare40);
  std::printf("fault to report saved in the log (30 frames, %d modules registered, no dialog): %.2f ms\n", modules,
              withoutDump * 1e3);
  std::printf("  of which the machine's facts (environment queries): %.2f ms\n", environment * 1e3);
  std::printf("report without a crash, call to report saved (30 frames): caught exception %.2f ms, message %.2f ms; "
              "against a fault's %.2f\n",
              callReportSeconds * 1e3, messageSeconds * 1e3, callReportSeconds / withoutDump);
  std::printf("fault to report saved with a minidump (mode 1): %.2f ms against %.2f ms without, ratio %.2f; "
              "the dump %.0f KB against the report's %.0f KB in the log (%llu dumps written)\n",
              withDump * 1e3, withoutDump * 1e3, withDump / withoutDump, dumpBytes / 1024.0, reportBytes / 1024.0,
              static_cast<unsigned long long>(dumps));
  return 0;
}

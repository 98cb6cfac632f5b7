#pragma once
// The report text of one exception: the banner, the numbered general sections, the optional
// custom section and the three ruled tables (call stack, modules, CPU).
#include <cstdint>
#include <functional>
#include <string>

#include "faultline/options/options.h"
#include "faultline/report/report_records.h"

// First line of every report; readers take the report version from its 11th character on.
constexpr const char* ReportBanner = "Faultline 5.1.11";

// The option values a report text depends on.
struct TReportLayout {
  TCustomizedTexts Texts;
  TItemVisibility ItemVisibility{0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  uint8_t StackFlags = 0x0F;
  uint8_t LogSections = 0x30;
  // Reads the live priority of a thread whose priority the thread list does not know yet.
  // Unset: the priority stays unknown and is written as the raw marker.
  std::function<int32_t(uint32_t threadId)> ReadThreadPriority;

  const std::string& Text(int index) const;
  bool ItemShown(int bit) const { return (ItemVisibility[bit / 8] >> (bit % 8)) & 1; }
};
TReportLayout ReportLayoutFrom(const TFaultModuleOptions& options);

// What the report flow keeps of one report.
struct TReportTexts {
  std::string General;              // banner and numbered sections (and the custom section)
  std::string CallStackAndModules;  // call-stack table followed by the modules table or stub
  std::string Cpu;                  // CPU section or stub
  std::string Report;               // the whole report text
  // Items 2.2 to 2.5, kept apart for the duplicate search.
  std::string Address, Module, Type, Message;
};

// Builds the report. `data.Threads` may get live priorities stored into it.
TReportTexts BuildReportText(TReportData& data, const TReportLayout& layout);

// The user's account of how to reproduce the error (the request dialog's text) as a section of
// its own after the general text (and the custom section); nothing for an empty text.
std::string BuildReproduceSection(const TReportLayout& layout, const std::string& text);
void AddReproduceSection(TReportTexts& texts, const TReportLayout& layout, const std::string& text);

// The pieces, for callers and tests that need only one of them.
std::string BuildGeneralText(const TReportData& data, const TReportLayout& layout);
std::string BuildCustomSection(const TReportLayout& layout, const std::string& customData);
// wideAddresses: a 64-bit program's report (addresses and handles with 16 digits, not 8).
std::string BuildCallStackSection(const std::vector<TFaultDebugInfo>& stack,
                                  std::vector<TFaultThreadInfo>& threads, uint32_t mainThreadId,
                                  const TReportLayout& layout, bool wideAddresses = false);
std::string BuildModulesSection(const std::vector<TFaultModuleInfo>& modules,
                                const TReportLayout& layout, bool wideAddresses = false);
// The registers of a 32-bit context, or of a 64-bit one when cpu.Wide (RAX to R15, RIP, EFLAGS
// and the segment registers, and the stack in 8-byte words with 16-digit addresses).
std::string BuildCpuSection(const TCpuSnapshot& cpu, const TReportLayout& layout);
// Whether a call-stack entry of this kind is written for these stack flags.
bool StackKindShown(uint8_t kind, uint8_t stackFlags);
// The exception message as the report writes it (item 2.5).
std::string ReportMessageText(const TReportData& data);

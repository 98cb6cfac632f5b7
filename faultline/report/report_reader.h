#pragma once
// Reading one stored report text back: the value of an item, and the parts of the text (general
// part, call-stack table, modules table, CPU section, the user's steps to reproduce). Used by the
// log file and by the XML export; never reads outside the text.
#include <string>
#include <string_view>
#include <vector>

std::string ReportFieldValue(std::string_view report, std::string_view itemNumber);
bool ReportMatches(std::string_view report, std::string_view itemNumber, std::string_view value);
std::string ReportVersionOf(std::string_view report);
std::string ReportGeneralPartOf(std::string_view report);
std::string ReportCallStackTableOf(std::string_view report);
std::string ReportModulesTableOf(std::string_view report);
std::string ReportCpuSectionOf(std::string_view report);
// Whether a CPU section, split into lines (title, rule, registers...), is a 64-bit context's:
// its registers start with RAX (a 32-bit one's with EAX).
bool IsWideCpuSection(const std::vector<std::string>& lines);
std::string ReportHowToReproduceOf(std::string_view report);

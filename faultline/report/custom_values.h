#pragma once
// Values a program attaches to every later report under names of its own (the build, the user's
// choice of server, the document open): set at any time from any thread, read by a report while
// other threads may be held. Reports show them in their custom-data section and send them with
// an upload as form fields.
#include <string>
#include <utility>
#include <vector>

// Sets name to value; an empty value removes the name. A name is 1 to 64 characters of letters,
// digits and "._-" (it becomes a form field's name and starts a line of the report); a value is
// at most 4096 bytes, its line breaks and control characters turned into spaces. Throws
// std::invalid_argument for a name or value that does not fit.
void SetCustomValue(const std::string& name, const std::string& value);
void ClearCustomValues();

// The values in name order. Never waits for a writer: a report reads them while other threads may
// be held, one of them possibly in the middle of a change; then (after a bounded number of tries)
// the values are given as empty and `complete` is false.
std::vector<std::pair<std::string, std::string>> CustomValuesForReport(bool* complete = nullptr);

// "name = value" lines joined by CR LF (": " separates an item from its value in a report).
std::string CustomValuesText(const std::vector<std::pair<std::string, std::string>>& values);

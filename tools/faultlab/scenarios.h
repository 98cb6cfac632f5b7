#pragma once
// The crash laboratory's scenarios, shared by its console and windowed programs. Each one does
// one kind of damage; its expected outcome is written beside it and in README.md.
#include <string>

// Runs the named scenario; returns the process exit code it expects when it returns normally,
// -1 for an unknown name.
int RunScenario(const std::string& name);
// The names, for the usage text.
const char* ScenarioNames();

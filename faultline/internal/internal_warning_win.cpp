#include <windows.h>

#include "faultline/internal/internal_warning.h"

namespace {
void DebuggerOutput(const std::string& line) { OutputDebugStringA(line.c_str()); }
}  // namespace

void InstallInternalWarningOutput() { InternalWarningHooks().DebuggerOutput = &DebuggerOutput; }

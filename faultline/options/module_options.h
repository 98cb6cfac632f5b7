#pragma once
// Windows side of the options: finding a module's options container (resource "FLDATA", else the
// file trailer), loading it into a module's options, the running module's own options, and the
// shared options block through which modules of one process see each other's run-time changes.
// Implemented in report/*_win.cpp (Windows build only).
#ifdef _WIN32
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "faultline/options/container.h"
#include "faultline/options/options.h"

// Exported password requests of a module ("Faultline_PasswordRequestEvent" and
// "Faultline_PasswordRequestEventEx"). The buffer holds up to 255 characters and a terminator,
// and carries the current password on entry. The Ex form also gets the event parameters of the
// notification (none while a module is being registered).
using TFaultPasswordRequestEvent = void(__stdcall*)(char* password);
using TFaultPasswordRequestEventEx = void(__stdcall*)(const void* eventParams, char* password);
constexpr int FaultPasswordBufferChars = 255;

// Fills FaultOptionsHooks() with the Win32 services (running-module test, computer name, shared
// block publishing). Idempotent.
void InstallFaultOptionsHooks();

// The module that carries this copy of the reporting code.
HMODULE FaultRunningModule();
std::string FaultModulePath(HMODULE module);

// The "FLDATA" RT_RCDATA resource of a module, when it begins with the magic. The bytes stay
// valid while the module is loaded.
std::optional<std::string_view> FaultContainerResource(HMODULE module);
// The trailer body (version .. debug information) at the end of a module's file, when the file
// ends with the magic. Throws EFaultContainerError when the trailer is damaged.
std::optional<std::string> FaultContainerTrailer(HMODULE module);
// True when the module has the resource with the magic or its file ends with the magic.
bool FaultContainerPresent(HMODULE module);

// Loads a module's container into `options` and `out` (see LoadModuleContainer): the password
// comes from the module's exports, then, for a foreign module, from `handlers` (the password
// handlers registered in this process, may be empty); a foreign module's shared block is applied.
void FaultLoadContainer(HMODULE module, TFaultModuleOptions& options, TFaultContainerLoad& out,
                        TContainerReadMode mode,
                        std::optional<std::string> (*handlers)(const std::string& current) = nullptr);

// The running module's own options: loaded once from its own container, published in its shared
// block (created with payload byte 0), and from then on what CurrentFaultlineOptions returns.
// Returns the options; `load` receives what the container gave (optional).
TFaultModuleOptionsEx& FaultLoadOwnOptions(TFaultContainerLoad* load = nullptr);

// Name of a module's shared block: "MODULE" + handle + process id, 8 upper-case hex digits each.
std::string FaultSharedBlockName(HMODULE module, DWORD processId);
// Replaces the running module's shared block by one holding `payload` (size word + payload).
// Returns false when the block cannot be created or is held open by someone at a smaller size.
bool FaultPublishSharedBlock(std::string_view payload);
// The payload (after the size word) of a module's shared block in process `processId`, when the
// block exists and its size word is consistent with the mapping.
std::optional<std::string> FaultOpenSharedBlock(HMODULE module, DWORD processId);
// Closes the running module's shared block (shutdown).
void FaultCloseSharedBlock();
#endif

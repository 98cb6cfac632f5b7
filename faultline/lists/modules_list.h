#pragma once
// The loaded modules as the reports see them: path, version data, exports, and the options and
// debug information each module carries in its container. Filled on demand (a lookup registers a
// module it does not know yet) and refreshed when a report asks for it. Windows only.
#ifdef _WIN32
#include <windows.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "faultline/lists/function_list.h"
#include "faultline/lists/module_record.h"

class TFaultModulesList {
 public:
  TFaultModulesList() = default;
  TFaultModulesList(const TFaultModulesList&) = delete;
  TFaultModulesList& operator=(const TFaultModulesList&) = delete;

  // The record of a module; an absent module is registered, a light record is registered again in
  // full (outside light mode). Null when no file name can be had for the handle.
  TFaultModuleInfo* Lookup(HMODULE module);
  // The record of the module that contains address (registered as by Lookup); null outside every
  // module.
  TFaultModuleInfo* LookupByAddress(uint64_t address);
  // Registers a module (appended); null when no file name can be had for it.
  TFaultModuleInfo* Register(HMODULE module);
  // Drops records of modules no longer loaded, registers every loaded module not yet listed (in
  // light mode) and sorts the list by handle.
  void Refresh();
  // Drops every record whose file's last-modified time differs from the one recorded: the module is
  // registered anew on its next lookup.
  void DropChanged();

  int Count() const { return static_cast<int>(records_.size()); }
  TFaultModuleInfo& operator[](int index) { return *records_[static_cast<size_t>(index)]; }
  int IndexOf(HMODULE module) const;
  void Delete(int index);

  bool LightMode() const { return light_; }
  void SetLightMode(bool value) { light_ = value; }

  // Registration and lookups may come from any thread that raises; they are serialised here.
  std::recursive_mutex& Lock() { return lock_; }

  // Password handlers registered in this process, asked for a foreign module's debug password.
  std::optional<std::string> (*PasswordHandlers)(const std::string& current) = nullptr;

 private:
  std::vector<std::unique_ptr<TFaultModuleInfo>> records_;
  bool light_ = false;
  std::recursive_mutex lock_;
};

// The process-wide module list; null outside the reporting code's lifetime.
TFaultModulesList* FaultModules();
void CreateFaultModules();
void DestroyFaultModules();

// The module containing an address (by the system's memory map), or null.
HMODULE ModuleOfAddress(uint64_t address);
// Kind of a loaded module: ModuleExecutable, ModulePackage or ModuleLibrary.
uint8_t ModuleType(HMODULE module);
// Reads the process's own memory for the export reader: false when any byte is unreadable.
bool ReadProcessBytes(uint64_t address, void* buffer, size_t size);
// Loads the named exports of a loaded module (sorted by address, with procedure lengths).
bool LoadExports(HMODULE module, TFaultFunctionsList& functions);
// File-version facts of a module file.
struct TModuleVersion {
  std::string Description, Version;
};
TModuleVersion ReadModuleVersion(const std::string& path);
#endif

#pragma once
// The exception handlers of the frameworks a program may be built with, beyond the application
// object's own pair: where the program carries one of them (its symbol table has the id, or a
// configured runtime package exports it), its exceptions are reported before the framework's own
// handling. A program without them gets no hook. Windows only.
#ifdef _WIN32
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Where a framework procedure is looked up when the symbol table lacks it: the export of that
// name in that package (a loaded module). Empty names: the symbol table alone.
struct TFrameworkExport {
  std::string Package;
  std::string Export;
};
struct TFrameworkPackages {
  TFrameworkExport Points[11];  // by symbol id; ids 4, 5 and 8 are looked up in the table only
  // The web framework's packages are numbered: "<IntraWebPrefix><n>_<IntraWebVersion>.bpl", n
  // from 10 up to 98.
  std::string IntraWebPrefix = "Intraweb_";
  std::string IntraWebVersion;
};
TFrameworkPackages& FrameworkPackages();

// Looks every point up in module's symbol table (then its configured export) and hooks the ones
// found. Returns the ids hooked (address-only points are not listed).
std::vector<uint8_t> InstallFrameworkPoints(HMODULE module);
// The ids hooked by the last installation.
std::vector<uint8_t> InstalledFrameworkPoints();
// The web framework's server controller was constructed (its application answers web requests).
bool WebFrameworkControllerSeen();
#endif

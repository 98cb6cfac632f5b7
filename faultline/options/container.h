#pragma once
// The options container a module carries: the RT_RCDATA resource "FLDATA" or, when the resource
// is absent, a trailer appended to the module file. Portable: the build tool (tools/fldata) WRITES
// containers with these functions and the run-time code READS them (report/module_options.h is
// the Windows side that finds a module's container and loads it).
//
// Resource form (little-endian), current layout (version >= 500):
//   magic 0x000FAB10 (4) | version (2) | build time, double days since 1899-12-30 (8)
//   | L1 (4) | symbol table, 9-byte entries (L1) | L2 (4) | zlib(options record) (L2)
//   | password check (4) | zlib(N (4) + N bytes of debug information) (rest)
// Versions 450..499 keep everything after the time stamp in one zlib stream (options record,
// N, debug information); below 450 the same sequence is stored uncompressed.
// Trailer form: ... | version (2) | build time (8) | options record | N (4) | debug (N) | B (4)
//   | magic (4), where B is the byte count from the version up to B.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "faultline/options/options.h"
#include "faultline/options/options_record.h"

constexpr uint32_t FaultContainerMagic = 0x000FAB10;
constexpr uint16_t FaultContainerVersion = 5111;  // the layout written today
constexpr const char* FaultContainerResourceName = "FLDATA";  // type RT_RCDATA (10)

// A symbol of the framework that the interception points hook: ids 0 and 1 are the application
// object's exception handler and its exception display. Address = module base + 4096 + Offset.
struct TFaultSymbol {
  uint8_t Id = 0;
  uint32_t Offset = 0;
  uint32_t Size = 0;
  bool operator==(const TFaultSymbol&) const = default;
};

struct TFaultContainer {
  uint16_t Version = FaultContainerVersion;
  double BuildTime = 0;                 // days since 1899-12-30
  std::vector<TFaultSymbol> Symbols;    // resource form only
  std::string OptionsRecord;            // the uncompressed options record (SaveOptionsRecord)
  uint32_t PasswordCheck = 0;           // resource form only; see MakePasswordCheck
  std::string DebugInfo;                // the N bytes of debug information

  // Reading only: what the container really gave. A stream that inflates to nothing stops the
  // read: the parts after it are then missing (HasOptions / HasDebugInfo false).
  bool HasOptions = false;
  bool HasDebugInfo = false;
};

// Light reads (module list refreshes) skip the debug information and, in the current layout, do
// not even inflate it.
enum class TContainerReadMode { Full, Light };

// Options record of `options` in the current layout (slot 6 of TFaultModuleOptions).
std::string SaveOptionsRecord(const TFaultModuleOptions& options);
// Loads a record of container format `version` into `options` (slot 7); returns the number of
// bytes the record took. Throws EFaultContainerError when the bytes end early.
size_t LoadOptionsRecord(TFaultModuleOptions& options, std::string_view record, uint16_t version);

// Resource bytes in the current layout (Version is written as given; it should be 5111).
std::string WriteContainer(const TFaultContainer& container);
// True when the bytes begin with the magic.
bool IsContainer(std::string_view resource);
// Reads resource bytes of any supported version. nullopt: the version is newer than 5111 and the
// container is ignored as a whole. Throws EFaultContainerError for a wrong magic, truncated or
// damaged data (including zlib data that does not inflate).
std::optional<TFaultContainer> ReadContainer(std::string_view resource,
                                             TContainerReadMode mode = TContainerReadMode::Full);

// Trailer form. AppendContainerTrailer gives moduleBytes followed by the trailer of `container`
// (options record uncompressed; symbols and password check are not part of this form).
std::string ContainerTrailer(const TFaultContainer& container);
std::string AppendContainerTrailer(std::string_view moduleBytes, const TFaultContainer& container);
// True when the file bytes end with the magic.
bool HasContainerTrailer(std::string_view fileBytes);
// Given the last 8 bytes of a file: B when they end with the magic, else nullopt. Lets a reader
// fetch only the trailer from a large file.
std::optional<uint32_t> TrailerBodySize(std::string_view last8);
// Reads the B bytes of a trailer body (version .. end of debug information).
std::optional<TFaultContainer> ReadContainerTrailerBody(
    std::string_view body, TContainerReadMode mode = TContainerReadMode::Full);
// Finds and reads the trailer at the end of a whole file. nullopt when there is none or it is
// newer than 5111; throws EFaultContainerError when it is damaged.
std::optional<TFaultContainer> FindContainerTrailer(
    std::string_view fileBytes, TContainerReadMode mode = TContainerReadMode::Full);

// Password check of the debug information: the 4 bytes, enciphered with the key of `password`
// (block cipher of report/delivery/codecs.h), that decipher to the magic. Both functions set the
// process-wide cipher key to the one of `password`.
uint32_t MakePasswordCheck(std::string_view password);
bool PasswordMatches(uint32_t passwordCheck, std::string_view password);

// What loading a container gives a module record (the five fields it touches besides the options).
struct TFaultContainerLoad {
  uint16_t Version = FaultContainerVersion;
  double BuildTime = 0;
  std::optional<std::string> DebugInfo;  // none in light mode or when the container has none
  std::string DebugPassword;
  bool PasswordAccepted = true;           // true when there was nothing to check
};

// Where a module's debug password comes from: first the module itself, then, for a module other
// than the running one, the password-request handlers registered in this process. Each gets the
// current password and returns the password to try (nullopt: no answer).
struct TFaultPasswordSources {
  std::optional<std::string> (*FromModule)(void* context, const std::string& current) = nullptr;
  std::optional<std::string> (*FromHandlers)(void* context, const std::string& current) = nullptr;
  void* Context = nullptr;
};

struct TFaultContainerSources {
  std::optional<std::string_view> Resource;  // the "FLDATA" resource bytes, when present
  std::optional<std::string_view> Trailer;    // the trailer body (B bytes), when present
  bool RunningModule = false;                 // the module is the one whose code runs here
  TContainerReadMode Mode = TContainerReadMode::Full;
  TFaultPasswordSources Passwords;
  // A foreign module's shared block payload (after the size word), when it exists.
  std::optional<std::string_view> SharedPayload;
};

// The whole load of a module's container into its options and record fields: resource first,
// else trailer; the password check; for a foreign module, the options it published in its shared
// block. With neither form, `out` gets the current version, time 0 and no debug information, and
// the options keep their values.
void LoadModuleContainer(TFaultModuleOptions& options, TFaultContainerLoad& out,
                         const TFaultContainerSources& sources);

// The shared options block payload: one byte 1 and the options record, or one byte 0.
std::string SharedBlockPayload(const TFaultModuleOptions* options);
// Loads the options from a payload whose first byte is non-zero; returns false otherwise.
bool LoadSharedBlockPayload(TFaultModuleOptions& options, std::string_view payload);

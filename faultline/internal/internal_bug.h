#pragma once
// The self-diagnosis written when an exception escapes one of the report flow's own steps: the
// reporting code does not report on itself. For a developer (a debugger attached, or the program
// is the development environment) a short text file beside the program and an offer to mail it
// to the vendor; a line in the debugger output. These are the texts; the report flow gathers the
// facts and does the writing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr const char* kInternalBugVersion = "5.1.11";
inline constexpr const char* kInternalBugSubject = "Faultline 5.1.11 critical bug.";
inline constexpr const char* kInternalBugCaption = "Probably internal bug";
inline constexpr const char* kInternalBugInfoCaption = "Information";

// Values of this program, not of the report: where bug mail goes and the development environment
// named in the diagnosis.
struct TInternalBugConfig {
  std::string SupportAddress = "faultline-bugs@tarn-import.example";
  std::string DevelopmentEnvironment = "GCC (MinGW-w64) i686";
  int AddressDigits = 8;  // 16 in a 64-bit program
};
TInternalBugConfig& InternalBugConfig();

struct TInternalBugStackLine {
  uint64_t Address = 0;
  uint64_t ModuleHandle = 0;
  std::string ModuleFile;
  std::string Unit, Class, Procedure;
  int32_t Line = 0;
};

struct TInternalBugFacts {
  std::string Date;        // the current time in date format R
  std::string Os;          // the operating system's name
  std::string Dump;        // InternalBugDump of the bytes at Address
  int Section = 0;         // the failing step's number
  std::string LastExcept;  // class of the last exception the report flow handled, when still alive
  uint64_t Address = 0;
  std::string Exception;   // class of the escaped object; empty when it is no exception object
  std::string Message;     // its message, or "General internal error."
  std::vector<TInternalBugStackLine> Stack;
};

// "$AB " for each byte.
std::string InternalBugDump(const uint8_t* bytes, size_t count);
// The whole diagnosis, CR LF between its lines.
std::string InternalBugText(const TInternalBugFacts& facts);
// The debugger-output line.
std::string InternalErrorDebugLine(int section, uint64_t address, const std::string& message);
// An aborted operation or a socket failure of the mail delivery is no bug of ours: true when one
// of the class names (the escaped object's class and its ancestors) is EAbort or EFaultSocketError,
// compared without regard to case.
bool IsQuietInternalError(const std::vector<std::string>& lineage);
// The question offering to mail the file, and the text shown when the mail client cannot be used.
std::string InternalBugQuestion(const std::string& message);
std::string InternalBugMailFailedText(const std::string& filePath, const std::string& supportAddress);

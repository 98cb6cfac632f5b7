#pragma once
// File-name rules of the import engine, on ANSI paths with backslashes. The separators are the
// last backslash or colon; a GBK double-byte character whose trail byte happens to be 0x5C or
// 0x3A is never taken for a separator. All comparisons elsewhere are exact and case-sensitive.
#include <string>
#include <string_view>
#include <vector>

using TStringList = std::vector<std::string>;

// The text after the last separator.
std::string ExtractFileName(std::string_view path);
// The text up to and including the last separator (empty when there is none).
std::string ExtractFilePath(std::string_view path);
// From the last dot of the file name on, dot included; empty when the file name has no dot.
std::string ExtractFileExt(std::string_view path);
// The file name without its extension (QQ.lnk -> QQ, a.b.txt -> a.b, .profile -> "").
std::string FileNameWithoutExt(std::string_view path);

// Names the folder listing leaves out: ".", "..", "desktop.ini" (exactly so written), the managed
// folder and the restore batch file.
bool IsSkippedListingName(std::string_view name);

// The text after the last backslash (C:\WINDOWS gives WINDOWS).
std::string LastPathComponent(std::string_view path);

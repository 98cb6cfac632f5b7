#pragma once
// File-name helpers for ANSI (GBK) paths. A GBK trail byte may equal "\" (0x5C), so the
// separators are found by walking characters, not bytes.
#include <string>
#include <string_view>

// Offset one past the last path separator ("\", "/" or ":"), 0 when there is none.
size_t PathNameStart(std::string_view path);
// The file name part of a path.
std::string PathFileName(std::string_view path);
// The extension of the file name part, with its dot; empty when there is none.
std::string PathFileExt(std::string_view path);
// path with the extension of its file name part replaced by ext (which includes its dot).
std::string PathChangeExt(std::string_view path, std::string_view ext);

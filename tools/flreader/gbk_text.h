#pragma once
// The log's texts are in code page 936 (GBK); pages and JSON want UTF-8.
#include <string>
#include <string_view>

// GBK bytes as UTF-8; a byte sequence that is no GBK character becomes U+FFFD.
std::string GbkToUtf8(std::string_view gbk);

#pragma once
// The HTML error page that answers a web request when the program fails while serving it, and the
// response header in front of it. Portable: the Windows side (web_page.h) picks the channel.
#include <cstdint>
#include <string>
#include <string_view>

// The button that takes the visitor back to the page before.
extern const char* const kWebOkButton;
// The placeholder of PageTemplate where the report text goes.
extern const char* const kWebPlaceholder;

// The text as HTML that shows every character as typed: "&", the quotes, "<" and ">" become
// entities, runs of two blanks keep their width, CR LF becomes a line break.
std::string WebEscape(std::string_view text);

// "<!-- Faultline ID: 0123ABCD -->": every page carries one of its own, so that a page the
// program later sees among its own output can be recognised as ours.
std::string WebPageMarker(uint32_t id);

// The page: the template (the default one when it holds nothing but blanks and control
// characters), with a title (text `title`) put in front unless it has "<title>" and a "</title>"
// after it, every placeholder replaced by content, and the marker at the end.
std::string WebErrorPage(std::string_view pageTemplate, std::string_view defaultTemplate, std::string_view title,
                         std::string_view content, std::string_view marker);

// The page of a report: the escaped text and the OK button, with the button appended when the
// template dropped it (no placeholder).
std::string WebReportPage(std::string_view text, std::string_view pageTemplate, std::string_view defaultTemplate,
                          std::string_view title, std::string_view marker);

// The response header for a page of pageBytes bytes, ending with its empty line. A CGI or WinCGI
// program's answer starts with the status line the web server turns into the response status.
std::string WebResponseHeader(size_t pageBytes, bool withStatus);
// The status text the web-server extension hands to its server.
extern const char* const kWebStatusText;

#include "faultline/web/error_page.h"

#include <cstdio>

#include "faultline/report/report_format.h"
#include "rtl/ascii_text.h"

const char* const kWebOkButton =
    "<br><input type=button value=\"Ok\" OnClick=\"history.go(-1)\" "
    "style=\"width:75;height:25;z-index:100;font-style:normal;font-size:10pt;text-decoration:none;\">";
const char* const kWebPlaceholder = "<%HTML_TAG%>";
const char* const kWebStatusText = "200 Error";

namespace {

size_t FindNoCase(std::string_view text, std::string_view what, size_t from = 0) {
  if (what.empty() || text.size() < what.size()) return std::string_view::npos;
  for (size_t i = from; i + what.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < what.size() && AsciiLower(text[i + k]) == AsciiLower(what[k])) ++k;
    if (k == what.size()) return i;
  }
  return std::string_view::npos;
}

// Every occurrence of what in text replaced, left to right, without looking into what was put in.
std::string ReplaceAll(std::string_view text, std::string_view what, std::string_view with) {
  std::string out;
  size_t at = 0;
  for (size_t hit; (hit = text.find(what, at)) != std::string_view::npos; at = hit + what.size()) {
    out.append(text.substr(at, hit - at));
    out.append(with);
  }
  out.append(text.substr(at));
  return out;
}

}  // namespace

std::string WebEscape(std::string_view text) {
  std::string s = ReplaceAll(text, "&", "&amp;");
  s = ReplaceAll(s, "\"", "&quot;");
  s = ReplaceAll(s, "'", "&#039;");
  s = ReplaceAll(s, "<", "&lt;");
  s = ReplaceAll(s, ">", "&gt;");
  s = ReplaceAll(s, "  ", "&nbsp;&nbsp;");
  return ReplaceAll(s, "\r\n", "<br>\r\n");
}

std::string WebPageMarker(uint32_t id) {
  char text[40];
  std::snprintf(text, sizeof text, "<!-- Faultline ID: %08X -->", static_cast<unsigned>(id));
  return text;
}

std::string WebErrorPage(std::string_view pageTemplate, std::string_view defaultTemplate, std::string_view title,
                         std::string_view content, std::string_view marker) {
  std::string page(TrimBlanks(FlattenControls(pageTemplate)).empty() ? defaultTemplate : pageTemplate);
  // The placeholder is found in any case; the one found is the one filled.
  const std::string_view placeholder = kWebPlaceholder;
  if (size_t at = FindNoCase(page, placeholder); at != std::string::npos) page.replace(at, placeholder.size(), placeholder);
  const size_t open = FindNoCase(page, "<title>");
  if (open == std::string::npos || FindNoCase(page, "</title>", open) == std::string::npos)
    page = "<title>" + std::string(title) + "</title>" + page;
  return ReplaceAll(page, placeholder, content) + std::string(marker);
}

std::string WebReportPage(std::string_view text, std::string_view pageTemplate, std::string_view defaultTemplate,
                          std::string_view title, std::string_view marker) {
  std::string page = WebErrorPage(pageTemplate, defaultTemplate, title, WebEscape(text) + kWebOkButton, marker);
  if (FindNoCase(page, kWebOkButton) == std::string::npos) page += kWebOkButton;
  return page;
}

std::string WebResponseHeader(size_t pageBytes, bool withStatus) {
  std::string h;
  if (withStatus) h += std::string("Status: ") + kWebStatusText + "\r\n";
  h += "Cache-Control: no-cache\r\nExpires: 0\r\nContent-Type: text/html\r\n";
  h += "Content-Length: " + std::to_string(pageBytes) + "\r\n";
  h += "Content:\r\n\r\n";
  return h;
}

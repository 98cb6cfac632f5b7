#include "faultline/delivery/web_form.h"

#include <algorithm>
#include <cstdio>

#include "rtl/ansi_paths.h"

namespace {

bool IsSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
         c == '.';
}

// "" gives 0 (no port); anything but 1 to 65535 in digits gives nullopt.
std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.empty()) return uint16_t{0};
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  if (value == 0) return std::nullopt;
  return static_cast<uint16_t>(value);
}

}  // namespace

std::optional<TUploadAddress> SplitUploadAddress(std::string_view address) {
  while (!address.empty() && static_cast<unsigned char>(address.front()) <= ' ') address.remove_prefix(1);
  while (!address.empty() && static_cast<unsigned char>(address.back()) <= ' ') address.remove_suffix(1);

  TUploadAddress out;
  std::string_view rest = address;
  size_t schemeEnd = rest.find("://");
  if (schemeEnd != std::string_view::npos && schemeEnd > 0) {
    std::string_view scheme = rest.substr(0, schemeEnd);
    bool ok = true;
    for (char c : scheme) ok = ok && IsSchemeChar(c);
    if (ok) {
      out.Scheme = scheme;
      rest.remove_prefix(schemeEnd + 3);
    }
  }

  size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos) {
    std::string_view path = rest.substr(slash + 1);
    if (!path.empty() && path.back() == '/') path.remove_suffix(1);
    out.Path = path;
  }

  // A password may hold "@" or ":" typed as they are; the host never does, so the last "@" ends
  // the user part and the first ":" before it ends the user name.
  size_t at = authority.rfind('@');
  std::string_view hostPort = authority;
  if (at != std::string_view::npos) {
    std::string_view userInfo = authority.substr(0, at);
    hostPort = authority.substr(at + 1);
    size_t colon = userInfo.find(':');
    out.User = userInfo.substr(0, colon);
    if (colon != std::string_view::npos) out.Password = userInfo.substr(colon + 1);
  }

  std::string_view host = hostPort;
  std::string_view portText;
  if (!hostPort.empty() && hostPort.front() == '[') {
    size_t close = hostPort.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = hostPort.substr(1, close - 1);
    std::string_view after = hostPort.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      portText = after.substr(1);
    }
  } else if (size_t colon = hostPort.rfind(':'); colon != std::string_view::npos) {
    host = hostPort.substr(0, colon);
    portText = hostPort.substr(colon + 1);
  }
  std::optional<uint16_t> port = ParsePort(portText);
  if (!port || host.empty()) return std::nullopt;
  out.Host = host;
  out.Port = *port;
  return out;
}

std::string FormBoundary(uint16_t a, uint16_t b, uint16_t c) {
  char groups[16];
  std::snprintf(groups, sizeof groups, "%04X%04X%04X", a, b, c);
  return std::string(27, '-') + groups;
}

std::string FormQuotedName(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == '\r')
      out += "%0D";
    else if (c == '\n')
      out += "%0A";
    else if (c == '"')
      out += "%22";
    else
      out += c;
  }
  return out;
}

TFormBody BuildFormBody(const std::vector<std::string>& fieldNames, const std::vector<std::string>& fieldValues,
                        const std::vector<std::string>& displayNames, const std::vector<std::string>& files,
                        TFaultFileAccess& access, const TFormRandom& random) {
  struct TPart {
    std::string Head;  // between the boundary line and the content, ending with the empty line
    std::string Content;
  };
  std::vector<TPart> parts;
  const size_t fieldCount = std::min(fieldNames.size(), fieldValues.size());
  for (size_t i = 0; i < fieldCount; ++i)
    parts.push_back({"Content-Disposition: form-data; name=\"" + FormQuotedName(fieldNames[i]) + "\";\r\n\r\n",
                     fieldValues[i]});
  for (size_t i = 0; i < files.size(); ++i) {
    if (!access.Exists(files[i])) continue;
    const std::string& name = i < displayNames.size() ? displayNames[i] : PathFileName(files[i]);
    parts.push_back({"Content-Disposition: form-data; name=\"fl_upload_file_" + std::to_string(i) +
                         "\"; filename=\"" + FormQuotedName(name) +
                         "\";\r\nContent-Type: application/octet-stream\r\n\r\n",
                     access.ReadAll(files[i])});
  }

  // A boundary that a value or a file happens to hold would end its part there; draw again. With
  // 48 random bits this is next to never needed, so a few draws are plenty.
  TFormBody form;
  for (int attempt = 0;; ++attempt) {
    if (attempt == 32) throw EFaultFormError("Cannot find a form boundary that the uploaded data does not contain.");
    // Three statements: the order of evaluation of function arguments is unspecified.
    const uint16_t a = random();
    const uint16_t b = random();
    const uint16_t c = random();
    form.Boundary = FormBoundary(a, b, c);
    bool clash = false;
    for (const TPart& p : parts) clash = clash || p.Content.find(form.Boundary) != std::string::npos;
    if (!clash) break;
  }
  size_t size = 0;
  for (const TPart& p : parts) size += p.Head.size() + p.Content.size() + form.Boundary.size() + 6;
  form.Body.reserve(size + form.Boundary.size() + 6);
  for (const TPart& p : parts) {
    form.Body += "--" + form.Boundary + "\r\n";
    form.Body += p.Head;
    form.Body += p.Content;
    form.Body += "\r\n";
  }
  form.Body += "--" + form.Boundary + "--\r\n";
  return form;
}

// The readable options file: a table of option names with their kind, parsed and written by the
// same table so the two directions cannot drift apart.
#include "faultline/options/options_file.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <set>
#include <vector>

#include "faultline/options/mail_recipients.h"

namespace {

using O = TFaultModuleOptions;

enum class TKind { Bool, Number, Hex, Text };

struct TOptionField {
  const char* Name;
  TKind Kind;
  int64_t Min = 0;
  int64_t Max = 0;
  std::function<int64_t(const O&)> GetNumber;
  std::function<void(O&, int64_t)> SetNumber;
  std::function<std::string(const O&)> GetText;
  std::function<void(O&, std::string)> SetText;
  // For an enumeration: what each value means, shown when a value is out of range.
  const char* Meaning = nullptr;
};

int64_t ItemsToNumber(const TItemVisibility& items) {
  int64_t v = 0;
  for (int i = 4; i >= 0; --i) v = v << 8 | items[i];
  return v;
}

TItemVisibility NumberToItems(int64_t v) {
  TItemVisibility items;
  for (int i = 0; i < 5; ++i) items[i] = static_cast<uint8_t>((v >> (8 * i)) & 0xFF);
  return items;
}

#define OPT_BOOL(N) \
  TOptionField{#N, TKind::Bool, 0, 1, [](const O& o) -> int64_t { return o.N(); }, \
               [](O& o, int64_t v) { o.Set##N(v != 0); }, {}, {}}
#define OPT_NUM(N, K, T, LO, HI) \
  TOptionField{#N, K, LO, HI, [](const O& o) -> int64_t { return o.N(); }, \
               [](O& o, int64_t v) { o.Set##N(static_cast<T>(v)); }, {}, {}}
#define OPT_ENUM(N, HI, MEANING) \
  TOptionField{#N, TKind::Number, 0, HI, [](const O& o) -> int64_t { return o.N(); }, \
               [](O& o, int64_t v) { o.Set##N(static_cast<uint8_t>(v)); }, {}, {}, MEANING}
#define OPT_TEXT(N) \
  TOptionField{#N, TKind::Text, 0, 0, {}, {}, [](const O& o) { return o.N(); }, \
               [](O& o, std::string v) { o.Set##N(std::move(v)); }}

const std::vector<TOptionField>& Fields() {
  static const std::vector<TOptionField> fields = {
      OPT_TEXT(MailSender),
      OPT_TEXT(MailServer),
      OPT_TEXT(MailServerUser),
      OPT_TEXT(MailServerPassword),
      OPT_NUM(MailServerPort, TKind::Number, uint16_t, 1, 0xFFFF),
      OPT_TEXT(MailFallbackDns),
      OPT_NUM(TerminateAction, TKind::Number, uint8_t, 0, 0xFF),
      OPT_BOOL(FreezeWatch),
      OPT_NUM(FreezeSeconds, TKind::Number, int32_t, INT32_MIN, INT32_MAX),
      OPT_TEXT(FreezeText),
      TOptionField{"ItemVisibility", TKind::Hex, 0, 0xFFFFFFFFFFLL,
                   [](const O& o) { return ItemsToNumber(o.ItemVisibility()); },
                   [](O& o, int64_t v) { o.SetItemVisibility(NumberToItems(v)); }, {}, {}},
      OPT_BOOL(LogOn),
      OPT_BOOL(FilterOn),
      OPT_BOOL(LogAppend),
      OPT_BOOL(TerminateButtonShown),
      OPT_BOOL(LogSaved),
      OPT_NUM(LogSections, TKind::Hex, uint8_t, 0, 0xFF),
      OPT_NUM(SendFlags, TKind::Hex, uint16_t, 0, 0xFFFF),
      OPT_NUM(FirstDialogPage, TKind::Number, uint8_t, 0, 0xFF),
      OPT_NUM(LogMaxReports, TKind::Number, int32_t, INT32_MIN, INT32_MAX),
      OPT_NUM(TerminateButtonAfter, TKind::Number, int32_t, INT32_MIN, INT32_MAX),
      OPT_TEXT(LogPath),
      OPT_TEXT(MailTo),
      OPT_TEXT(MailSubject),
      OPT_TEXT(MailBody),
      OPT_ENUM(MailMode, 3,
               "0 (no e-mail), 1 (the user's mail client), 2 (SMTP through MailServer), "
               "3 (SMTP to each recipient's mail exchanger)"),
      OPT_ENUM(UploadMode, 3, "0 (no upload), 1 (HTTP), 2 (HTTPS), 3 (FTP)"),
      OPT_TEXT(ExtraFiles),
      OPT_NUM(DialogFlags, TKind::Hex, uint8_t, 0, 0xFF),
      OPT_NUM(DialogCloseSeconds, TKind::Number, int32_t, INT32_MIN, INT32_MAX),
      OPT_TEXT(SupportLink),
      OPT_TEXT(PageTemplate),
      OPT_NUM(CrashAction, TKind::Number, uint8_t, 0, 0xFF),
      OPT_NUM(CrashCount, TKind::Number, int32_t, INT32_MIN, INT32_MAX),
      OPT_NUM(CrashMinutes, TKind::Number, int32_t, INT32_MIN, INT32_MAX),
      OPT_NUM(StackFlags, TKind::Hex, uint8_t, 0, 0xFF),
      OPT_NUM(HandlingFlags, TKind::Hex, uint8_t, 0, 0xFF),
      OPT_TEXT(UploadUrl),
      // 0: the port the address names, else the protocol's own.
      OPT_NUM(UploadPort, TKind::Number, uint32_t, 0, 0xFFFF),
      OPT_TEXT(UploadPassword),
      OPT_TEXT(UploadUser),
      OPT_ENUM(MinidumpMode, 2,
               "0 (no minidump), 1 (threads, stacks, modules and the exception), 2 (the same with all the "
               "process's memory)"),
      OPT_BOOL(ResendKept),
  };
  return fields;
}

#undef OPT_BOOL
#undef OPT_NUM
#undef OPT_TEXT
#undef OPT_ENUM

// Every error names the file (when the caller gave its name) and the line it is about; line 0
// stands for the file as a whole.
[[noreturn]] void Fail(std::string_view file, size_t line, const std::string& why) {
  std::string where = file.empty() ? std::string("Options file") : std::string(file);
  if (line != 0) where += ", line " + std::to_string(line);
  throw EFaultOptionsFileError(where + ": " + why);
}

std::string Trim(std::string_view s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return std::string(s.substr(b, e - b + 1));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseNumber(const std::string& text, int64_t& value) {
  std::string s = Trim(text);
  bool negative = !s.empty() && s[0] == '-';
  if (negative) s.erase(0, 1);
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.erase(0, 2);
  }
  if (s.empty() || s.size() > 16) return false;
  uint64_t v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0 || d >= base) return false;
    v = v * base + d;
  }
  if (v > (uint64_t{1} << 40)) return false;
  value = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
  return true;
}

std::string HexText(int64_t v) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  uint64_t u = static_cast<uint64_t>(v);
  do {
    s.insert(s.begin(), digits[u & 15]);
    u >>= 4;
  } while (u);
  if (s.size() % 2) s.insert(s.begin(), '0');
  return "0x" + s;
}

// "Text[12]" -> ("Text", 12); anything else -> index -1.
std::pair<std::string, long> SplitIndex(const std::string& key) {
  size_t open = key.find('[');
  if (open == std::string::npos || key.back() != ']') return {key, -1};
  std::string digits = key.substr(open + 1, key.size() - open - 2);
  if (digits.empty() || digits.size() > 6) return {key, -2};
  long index = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return {key, -2};
    index = index * 10 + (c - '0');
  }
  return {key.substr(0, open), index};
}

}  // namespace

std::string EscapeOptionText(std::string_view text) {
  std::string out;
  for (char c : text) {
    uint8_t b = static_cast<uint8_t>(c);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (b < 0x20 || b == 0x7F) {
          static const char digits[] = "0123456789ABCDEF";
          out += "\\x";
          out += digits[b >> 4];
          out += digits[b & 15];
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string UnescapeOptionText(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i >= text.size()) throw EFaultOptionsFileError("a text ends in a lone backslash");
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'x': {
        int hi = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
        int lo = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) throw EFaultOptionsFileError("\\x needs two hexadecimal digits");
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        throw EFaultOptionsFileError(std::string("unknown escape \\") + text[i]);
    }
  }
  return out;
}

namespace {

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' ' || c == 127; }

// Why an address cannot go into an SMTP command or a mail client's recipient list; empty when
// it can.
std::string AddressFault(std::string_view address) {
  for (char c : address) {
    if (c == '<' || c == '>') return std::string("it holds \"") + c + "\"";
    if (c == ' ' || c == '\t') return "it holds a blank";
    if (IsBlankOrControl(c)) return "it holds a control character";
  }
  return {};
}

// "host" or "host:port" with a port from 1 to 65535, as the mail-exchanger lookup reads it.
bool UsableDnsServer(std::string_view text) {
  while (!text.empty() && IsBlankOrControl(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlankOrControl(text.back())) text.remove_suffix(1);
  const size_t colon = text.rfind(':');
  if (colon != std::string_view::npos) {
    const std::string_view port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5) return false;
    uint32_t value = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 0xFFFF) return false;
    text = text.substr(0, colon);
  }
  if (text.empty()) return false;
  for (char c : text)
    if (IsBlankOrControl(c) || c == ':') return false;
  return true;
}

// The scheme an upload address starts with ("HTTP" of "HTTP://host/"), lower case; empty when it
// names none (delivery then takes the whole text as host and path).
std::string UploadScheme(std::string_view address) {
  while (!address.empty() && IsBlankOrControl(address.front())) address.remove_prefix(1);
  const size_t end = address.find("://");
  if (end == std::string_view::npos || end == 0) return {};
  std::string scheme;
  for (char c : address.substr(0, end)) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
                    c == '-' || c == '.';
    if (!ok) return {};
    scheme += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return scheme;
}

// Values each of which parses but that, together, delivery could not act on. Checked on the
// options as the file leaves them; an error points at the line that set the option named, or at
// the line that made it matter when the option kept its default.
void CheckDeliveryValues(const O& o, const std::map<std::string, size_t>& lineOf, std::string_view file) {
  auto line = [&](std::initializer_list<const char*> keys) -> size_t {
    for (const char* key : keys)
      if (auto it = lineOf.find(key); it != lineOf.end()) return it->second;
    return 0;
  };
  const std::string mode = std::to_string(o.MailMode());

  if (std::string why = AddressFault(o.MailSender()); !why.empty())
    Fail(file, line({"MailSender"}), "MailSender: \"" + o.MailSender() + "\" is no usable e-mail address: " + why);
  // MailTo as delivery reads it.
  const std::vector<std::string> recipients = SplitRecipients(o.MailTo());
  for (const std::string& r : recipients)
    if (std::string why = AddressFault(r); !why.empty())
      Fail(file, line({"MailTo"}), "MailTo: \"" + r + "\" is no usable e-mail address: " + why);
  if ((o.MailMode() == 2 || o.MailMode() == 3) && recipients.empty())
    Fail(file, line({"MailTo", "MailMode"}), "MailTo: MailMode " + mode + " sends by SMTP and needs at least one recipient");
  if (o.MailMode() == 2 && Trim(o.MailServer()).empty())
    Fail(file, line({"MailServer", "MailMode"}), "MailServer: MailMode 2 sends through MailServer, which is empty");
  if (!Trim(o.MailFallbackDns()).empty() && !UsableDnsServer(o.MailFallbackDns()))
    Fail(file, line({"MailFallbackDns"}),
         "MailFallbackDns: \"" + o.MailFallbackDns() + "\" is not \"host\" or \"host:port\" with a port from 1 to 65535");

  static const char* const kSchemes[] = {"", "http", "https", "ftp"};
  static const char* const kNames[] = {"", "HTTP", "HTTPS", "FTP"};
  const uint8_t upload = o.UploadMode();
  if (upload != 0 && upload < 4) {
    const std::string uploadMode = std::to_string(upload) + " (" + kNames[upload] + ")";
    if (Trim(o.UploadUrl()).empty())
      Fail(file, line({"UploadUrl", "UploadMode"}), "UploadUrl: UploadMode " + uploadMode + " needs an upload address");
    const std::string scheme = UploadScheme(o.UploadUrl());
    if (!scheme.empty() && scheme != kSchemes[upload])
      Fail(file, line({"UploadUrl", "UploadMode"}),
           "UploadUrl: \"" + o.UploadUrl() + "\" is a " + scheme + ":// address, but UploadMode " + uploadMode +
               " uploads to " + kSchemes[upload] + "://");
  }
}

}  // namespace

void ParseOptionsFile(TFaultModuleOptions& options, std::string_view text, std::string_view fileName) {
  std::map<std::string, const TOptionField*> byName;
  for (const TOptionField& f : Fields()) byName[f.Name] = &f;

  // Editors on Windows like to start a UTF-8 file with a byte-order mark.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

  std::map<std::string, size_t> lineOf;  // every key given, with its line
  std::map<long, std::string> filterClasses, filterTexts;
  bool filterGiven = false;
  size_t lineNo = 0;
  size_t pos = 0;
  auto fail = [&](size_t line, const std::string& why) { Fail(fileName, line, why); };
  InUpdate(options, [&] {
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view line = text.substr(pos, end - pos);
      pos = end + 1;
      ++lineNo;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      std::string trimmed = Trim(line);
      if (trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';') continue;
      size_t eq = line.find('=');
      if (eq == std::string_view::npos) fail(lineNo, "expected Key=Value");
      std::string key = Trim(line.substr(0, eq));
      std::string_view raw = line.substr(eq + 1);
      if (!lineOf.emplace(key, lineNo).second)
        fail(lineNo, "\"" + key + "\" is given twice (first on line " + std::to_string(lineOf[key]) + ")");

      std::string value;
      try {
        value = UnescapeOptionText(raw);
      } catch (const EFaultOptionsFileError& e) {
        fail(lineNo, key + ": " + e.Message());
      }

      auto [base, index] = SplitIndex(key);
      if (index == -2) fail(lineNo, "bad index in \"" + key + "\"");
      if (index >= 0) {
        if (base == "Text") {
          if (index >= FaultTextCount) fail(lineNo, "there are only 96 texts (Text[0]..Text[95])");
          options.SetText(static_cast<int>(index), value);
        } else if (base == "FilterClass") {
          filterClasses[index] = value;
          filterGiven = true;
        } else if (base == "FilterText") {
          filterTexts[index] = value;
          filterGiven = true;
        } else {
          fail(lineNo, "unknown option \"" + key + "\"");
        }
        continue;
      }
      if (key == "FilterClear") {
        std::string v = Trim(value);
        if (v != "true" && v != "1") fail(lineNo, "FilterClear takes only true");
        filterGiven = true;
        continue;
      }
      auto it = byName.find(key);
      if (it == byName.end()) fail(lineNo, "unknown option \"" + key + "\"");
      const TOptionField& f = *it->second;
      if (f.Kind == TKind::Text) {
        f.SetText(options, value);
        continue;
      }
      int64_t number = 0;
      std::string v = Trim(value);
      if (f.Kind == TKind::Bool) {
        if (v == "true" || v == "1") number = 1;
        else if (v == "false" || v == "0") number = 0;
        else fail(lineNo, key + " takes true or false");
      } else if (!ParseNumber(v, number) || number < f.Min || number > f.Max) {
        if (f.Meaning) fail(lineNo, key + ": \"" + v + "\" is none of " + f.Meaning);
        fail(lineNo, key + ": \"" + v + "\" is not a number from " + std::to_string(f.Min) + " to " +
                         std::to_string(f.Max));
      }
      f.SetNumber(options, number);
    }

    if (filterGiven) {
      // Indexed entries replace the filter as a whole; they must count up from 0 without gaps.
      auto count = [&](const std::map<long, std::string>& m, const char* name) {
        long n = 0;
        for (const auto& [i, v] : m) {
          if (i != n) {
            const std::string given = std::string(name) + "[" + std::to_string(i) + "]";
            fail(lineOf[given], given + ": " + name + "[" + std::to_string(n) + "] is missing");
          }
          ++n;
        }
        return static_cast<size_t>(n);
      };
      size_t nc = count(filterClasses, "FilterClass");
      size_t nt = count(filterTexts, "FilterText");
      std::vector<std::string> classes, texts;
      for (size_t i = 0; i < std::max(nc, nt); ++i) {
        classes.push_back(i < nc ? filterClasses[static_cast<long>(i)] : std::string());
        texts.push_back(i < nt ? filterTexts[static_cast<long>(i)] : std::string());
      }
      options.SetFilter(std::move(classes), std::move(texts));
    }
    CheckDeliveryValues(options, lineOf, fileName);
  });
}

std::string FormatOptionsFile(const TFaultModuleOptions& options, bool onlyChanged) {
  TFaultModuleOptions defaults("", false);
  std::string out;
  for (const TOptionField& f : Fields()) {
    std::string value;
    if (f.Kind == TKind::Text) {
      std::string v = f.GetText(options);
      if (onlyChanged && v == f.GetText(defaults)) continue;
      value = EscapeOptionText(v);
    } else {
      int64_t v = f.GetNumber(options);
      if (onlyChanged && v == f.GetNumber(defaults)) continue;
      if (f.Kind == TKind::Bool) value = v ? "true" : "false";
      else if (f.Kind == TKind::Hex) value = HexText(v);
      else value = std::to_string(v);
    }
    out += std::string(f.Name) + "=" + value + "\n";
  }
  size_t pairs = std::max(options.FilterClasses().size(), options.FilterTexts().size());
  if (pairs == 0 && (!onlyChanged || !defaults.FilterClasses().empty())) out += "FilterClear=true\n";
  for (size_t i = 0; i < pairs; ++i) {
    const auto& c = options.FilterClasses();
    const auto& t = options.FilterTexts();
    out += "FilterClass[" + std::to_string(i) + "]=" +
           EscapeOptionText(i < c.size() ? c[i] : std::string()) + "\n";
    out += "FilterText[" + std::to_string(i) + "]=" +
           EscapeOptionText(i < t.size() ? t[i] : std::string()) + "\n";
  }
  for (int i = 0; i < FaultTextCount; ++i) {
    if (onlyChanged && options.Text(i) == defaults.Text(i)) continue;
    out += "Text[" + std::to_string(i) + "]=" + EscapeOptionText(options.Text(i)) + "\n";
  }
  return out;
}

#include "faultline/report/report_text.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "rtl/ansi_paths.h"
#include "faultline/report/log_item.h"
#include "faultline/report/report_format.h"

namespace {

constexpr std::string_view CrLf = "\r\n";

std::string QuotedParameters(const std::vector<std::string>& parameters) {
  std::string s;
  for (size_t i = 0; i < parameters.size(); ++i) {
    if (i > 0) s += ' ';
    s += '"';
    s += parameters[i];
    s += '"';
  }
  return s;
}

// Appends `text` and pads it with spaces to `width`. A longer text is written whole: the row
// grows rather than losing characters or spilling into the next cell.
void AppendCell(std::string& row, std::string_view text, size_t width) {
  row += text;
  if (text.size() < width) row.append(width - text.size(), ' ');
}

// Appends "|" cell "|" cell ... "|" CR LF.
template <class Cells>
void AppendRow(std::string& out, const Cells& cells, const std::vector<size_t>& widths) {
  out += '|';
  for (size_t i = 0; i < widths.size(); ++i) {
    AppendCell(out, cells[i], widths[i]);
    out += '|';
  }
  out += "\r\n";
}

std::string TableRow(const std::vector<std::string>& cells, const std::vector<size_t>& widths) {
  std::string row;
  AppendRow(row, cells, widths);
  row.resize(row.size() - 2);
  return row;
}

std::string WholeRow(std::string_view text, size_t width) {
  std::string row = "|";
  AppendCell(row, text, width);
  row += '|';
  return row;
}

std::string WholeRow(char fill, size_t width) {
  std::string row = "|";
  row.append(width, fill);
  row += '|';
  return row;
}

std::string Stub(const std::string& title) {
  return title + ":\r\n" + std::string(title.size() + 1, '-') + "\r\n\r\n";
}

std::string LineText(const TFaultDebugInfo& e, uint8_t stackFlags) {
  if (e.Line == 0) return std::string();
  std::string s = std::to_string(e.Line);
  if (stackFlags & 0x10) s += "[" + std::to_string(e.LineOffset) + "]";
  return s;
}

std::string HexPadded(uint64_t value, size_t width) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(value));
  std::string s = buf;
  if (s.size() < width) s.insert(0, width - s.size(), '0');
  return s;
}

// The rule and register lines of a 64-bit context: two columns of "NAME: value", each column's
// names padded to its longest and its values to the widest, so that both columns line up. An
// unknown value is question marks as wide as the value would be.
std::string WideRegisterLines(const TCpuSnapshot& cpu) {
  struct TRegister {
    const char* Name;
    uint64_t Value;
    size_t Digits;
  };
  const TRegister rows[][2] = {
      {{"RAX", cpu.Rax, 16}, {"R8", cpu.R8, 16}},
      {{"RBX", cpu.Rbx, 16}, {"R9", cpu.R9, 16}},
      {{"RCX", cpu.Rcx, 16}, {"R10", cpu.R10, 16}},
      {{"RDX", cpu.Rdx, 16}, {"R11", cpu.R11, 16}},
      {{"RSI", cpu.Rsi, 16}, {"R12", cpu.R12, 16}},
      {{"RDI", cpu.Rdi, 16}, {"R13", cpu.R13, 16}},
      {{"RBP", cpu.Rbp, 16}, {"R14", cpu.R14, 16}},
      {{"RSP", cpu.Rsp, 16}, {"R15", cpu.R15, 16}},
      {{"RIP", cpu.Rip, 16}, {"EFLAGS", cpu.EFlags, 8}},
      {{"CS", cpu.SegCs, 4}, {"DS", cpu.SegDs, 4}},
      {{"ES", cpu.SegEs, 4}, {"FS", cpu.SegFs, 4}},
      {{"GS", cpu.SegGs, 4}, {"SS", cpu.SegSs, 4}},
  };
  size_t nameWidth[2] = {0, 0}, valueWidth[2] = {0, 0};
  for (const auto& row : rows)
    for (int c = 0; c < 2; ++c) {
      nameWidth[c] = std::max(nameWidth[c], std::strlen(row[c].Name));
      valueWidth[c] = std::max(valueWidth[c], row[c].Digits);
    }
  auto value = [&](const TRegister& r) {
    if (!cpu.HasContext) return std::string(r.Digits, '?');
    std::string s = Hex16(r.Value);
    return s.substr(16 - r.Digits);
  };
  std::string lines;
  size_t longest = 0;
  for (const auto& row : rows) {
    std::string line;
    AppendCell(line, row[0].Name, nameWidth[0]);
    line += ": ";
    AppendCell(line, value(row[0]), valueWidth[0]);
    line += "   ";
    AppendCell(line, row[1].Name, nameWidth[1]);
    line += ": " + value(row[1]);
    longest = std::max(longest, line.size());
    lines += line + "\r\n";
  }
  return std::string(longest, '-') + "\r\n" + lines;
}

}  // namespace

const std::string& TReportLayout::Text(int index) const {
  static const std::string empty;
  return index >= 0 && index < FaultTextCount ? Texts[index] : empty;
}

TReportLayout ReportLayoutFrom(const TFaultModuleOptions& options) {
  TReportLayout layout;
  layout.Texts = options.Texts();
  layout.ItemVisibility = options.ItemVisibility();
  layout.StackFlags = options.StackFlags();
  layout.LogSections = options.LogSections();
  return layout;
}

bool StackKindShown(uint8_t kind, uint8_t stackFlags) {
  if (kind == 4) return true;
  if (kind == 2) return stackFlags & 0x01;
  if (kind == 3) return stackFlags & 0x02;
  return false;
}

std::string ReportMessageText(const TReportData& data) {
  if (!data.HasMessage) return "Unknown error message.";
  std::string m = data.ExceptionMessage;
  if (m.empty() || m.back() != '.') m += '.';
  return m;
}

std::string BuildGeneralText(const TReportData& data, const TReportLayout& layout) {
  const TReportEnvironment& env = data.Environment;
  const int tz = data.TimeZoneHours;
  TLogItem log(0);
  auto item = [&](int text, int bit, const std::string& value) {
    log.AddItem(layout.Text(text), value, layout.ItemShown(bit));
  };

  log.AddHeader(layout.Text(22));
  item(23, 0, FormatDateR(data.StartDate, tz));
  item(24, 1, data.ApplicationName);
  item(25, 2, data.ApplicationVersion);
  item(26, 3, QuotedParameters(data.Parameters));
  item(27, 4, data.CompilationDate == 0 ? std::string()
                                        : FormatDateR(data.CompilationDate + tz / 24.0, tz));

  log.AddHeader(layout.Text(28));
  item(29, 5, FormatDateR(data.ExceptionDate, tz));
  item(30, 6, data.ExceptionAddress == 0 ? std::string()
                                         : HexAddress(data.ExceptionAddress, data.WideAddresses));
  item(31, 7, data.ExceptionModule);
  item(32, 8, data.ValidObject ? data.ExceptionType : std::string("Unknown exception type."));
  item(33, 9, ReportMessageText(data));
  // Only when one was written: a report without a dump reads as it always did.
  if (!data.MinidumpFile.empty()) log.AddItem("Minidump", data.MinidumpFile, true);

  // A console program or a web application has no foreground form of its own to describe.
  const bool controls = !data.ConsoleProgram && !data.WebApplication;
  log.AddHeader(layout.Text(34));
  log.AddItem(layout.Text(35), data.FormClass, controls && layout.ItemShown(10));
  log.AddItem(layout.Text(36), FlattenControls(std::string_view(data.FormText).substr(0, 256)),
              controls && layout.ItemShown(11));
  log.AddItem(layout.Text(37), data.ControlClass, controls && layout.ItemShown(12));
  log.AddItem(layout.Text(38), FlattenControls(data.ControlText), controls && layout.ItemShown(13));

  log.AddHeader(layout.Text(39));
  item(40, 14, env.ComputerName);
  item(41, 15, env.UserName);
  item(42, 16, MemoryText(env.TotalMemory));
  item(43, 17, MemoryText(env.FreeMemory));
  item(44, 18, env.DiskKnown ? DiskText(env.TotalDisk) : std::string());
  item(45, 19, env.DiskKnown ? DiskText(env.FreeDisk) : std::string());
  item(46, 20, UpTimeText(env.UpTimeMs));
  item(47, 21, env.Processor);
  char mode[64];
  std::snprintf(mode, sizeof mode, "%d x %d, %d bit", env.ScreenWidth, env.ScreenHeight,
                env.BitsPerPixel);
  item(48, 22, mode);

  log.AddHeader(layout.Text(49));
  item(50, 23, env.OsName);
  item(51, 24, std::to_string(env.BuildNumber));
  item(52, 25, env.ServicePack);
  item(53, 26, env.Language);

  const TNetworkTexts net = NetworkTexts(env);
  log.AddHeader(layout.Text(54));
  item(55, 27, net.IpAddress);
  item(56, 28, net.SubnetMask);
  item(57, 29, net.Gateway);
  item(58, 30, net.Dns1);
  item(59, 31, net.Dns2);
  item(60, 32, net.Dhcp);

  return std::string(ReportBanner) + "\r\n\r\n" + log.Text();
}

std::string BuildCustomSection(const TReportLayout& layout, const std::string& customData) {
  TLogItem log(6);
  log.AddHeader(layout.Text(13));
  log.AddItem("", customData, true);
  return log.Text();
}

std::string BuildCallStackSection(const std::vector<TFaultDebugInfo>& stack,
                                  std::vector<TFaultThreadInfo>& threads, uint32_t mainThreadId,
                                  const TReportLayout& layout, bool wideAddresses) {
  const uint8_t flags = layout.StackFlags;
  std::vector<const TFaultDebugInfo*> rows;
  rows.reserve(stack.size());
  for (const TFaultDebugInfo& e : stack)
    if (StackKindShown(e.Kind, flags)) rows.push_back(&e);

  // Cell texts once, widths from them.
  // Cell texts (the module name is a view into the module's path).
  std::vector<std::array<std::string_view, 6>> cells(rows.size());
  std::vector<std::array<char, 16>> addresses(rows.size());
  std::vector<std::string> lineTexts(rows.size());
  std::vector<size_t> widths(6);
  for (int c = 0; c < 6; ++c) widths[c] = layout.Text(62 + c).size();
  widths[0] = std::max<size_t>(widths[0], 8);
  for (size_t i = 0; i < rows.size(); ++i) {
    const TFaultDebugInfo& e = *rows[i];
    const std::string address = HexAddress(e.Address, wideAddresses);
    std::copy(address.begin(), address.end(), addresses[i].begin());
    lineTexts[i] = LineText(e, flags);
    std::string_view module;
    if (e.Module) module = std::string_view(e.Module->Path).substr(PathNameStart(e.Module->Path));
    cells[i] = {std::string_view(addresses[i].data(), address.size()), module, e.UnitName, e.ClassName,
                e.ProcedureName, lineTexts[i]};
    for (int c = 0; c < 6; ++c) widths[c] = std::max(widths[c], cells[i][c].size());
  }
  size_t sum = 0;
  for (size_t w : widths) sum += w;
  const size_t whole = sum + 5;
  const std::string rule(sum + 7, '-');

  std::vector<std::string> header;
  for (int c = 0; c < 6; ++c) header.push_back(layout.Text(62 + c));

  std::string out;
  out.reserve((rule.size() + 2) * (rows.size() * 2 + 8) + 64);
  out += layout.Text(7) + ":\r\n" + rule + "\r\n" + TableRow(header, widths) + "\r\n" + rule +
         "\r\n";

  const TFaultDebugInfo* previous = nullptr;
  for (size_t i = 0; i < rows.size(); ++i) {
    const TFaultDebugInfo& e = *rows[i];
    if (!previous || e.ThreadId != previous->ThreadId || e.Running != previous->Running) {
      if (previous) {
        out += WholeRow('-', whole) + "\r\n";
        if (e.Running) out += WholeRow(' ', whole) + "\r\n";
      }
      const int title = !previous ? 69 : e.Running ? 70 : 71;
      std::string priority = "??", className;
      for (size_t t = threads.size(); t-- > 0;) {
        TFaultThreadInfo& th = threads[t];
        if (th.ThreadId != e.ThreadId) continue;
        if (th.Priority == UnknownThreadPriority && layout.ReadThreadPriority)
          th.Priority = static_cast<uint32_t>(layout.ReadThreadPriority(th.ThreadId));
        priority = std::to_string(static_cast<int32_t>(th.Priority));
        if (th.HasThreadObject) className = th.ThreadClassName;
        break;
      }
      std::string text = " " + layout.Text(title) + ": " + layout.Text(72) + "=" +
                         std::to_string(e.ThreadId) + "; " + layout.Text(73) + "=" + priority +
                         "; " + layout.Text(74) + "=" + className;
      if (e.ThreadId == mainThreadId) text += "; [" + layout.Text(68) + "]";
      out += WholeRow(text, whole) + "\r\n" + WholeRow('-', whole) + "\r\n";
    }
    AppendRow(out, cells[i], widths);
    previous = &e;
  }
  out += rule + "\r\n\r\n";
  return out;
}

std::string BuildModulesSection(const std::vector<TFaultModuleInfo>& modules,
                                const TReportLayout& layout, bool wideAddresses) {
  const std::string& title = layout.Text(9);
  if (!(layout.LogSections & 0x10)) return Stub(title);
  std::vector<size_t> widths(7);
  for (int c = 0; c < 7; ++c) widths[c] = layout.Text(84 + c).size();
  // Handles are padded with zeros to the column: a 64-bit program's have 16 digits.
  widths[0] = std::max<size_t>(widths[0], wideAddresses ? 16 : 8);
  std::vector<std::vector<std::string>> cells;
  cells.reserve(modules.size());
  for (const TFaultModuleInfo& m : modules) {
    cells.push_back({HexPadded(m.Handle, 0), ReportPathFileName(m.Path), m.Description, m.Version,
                     std::to_string(m.FileSize), FormatDateTimeIso(m.ModifiedTime),
                     ReportPathFolder(m.Path)});
    for (int c = 0; c < 7; ++c) widths[c] = std::max(widths[c], cells.back()[c].size());
  }
  size_t sum = 0;
  for (size_t w : widths) sum += w;
  const std::string rule(sum + 8, '-');
  std::vector<std::string> header;
  for (int c = 0; c < 7; ++c) header.push_back(layout.Text(84 + c));

  std::string out;
  out.reserve((rule.size() + 2) * (modules.size() + 6) + 64);
  out += title + ":\r\n" + rule + "\r\n" + TableRow(header, widths) + "\r\n" + rule + "\r\n";
  for (std::vector<std::string>& row : cells) {
    if (row[0].size() < widths[0]) row[0].insert(0, widths[0] - row[0].size(), '0');
    AppendRow(out, row, widths);
  }
  out += rule + "\r\n\r\n";
  return out;
}

std::string BuildCpuSection(const TCpuSnapshot& cpu, const TReportLayout& layout) {
  if (!(layout.LogSections & 0x20)) return Stub(layout.Text(91));
  const bool wide = cpu.Wide;
  std::string out = layout.Text(91) + ":\r\n";
  if (wide) {
    out += WideRegisterLines(cpu);
  } else {
    auto reg = [&](uint32_t v) { return cpu.HasContext ? Hex8(v) : std::string("????    "); };
    out += "-----------------------------\r\n";
    out += "EAX: " + reg(cpu.Eax) + "   EDI: " + reg(cpu.Edi) + "\r\n";
    out += "EBX: " + reg(cpu.Ebx) + "   ESI: " + reg(cpu.Esi) + "\r\n";
    out += "ECX: " + reg(cpu.Ecx) + "   ESP: " + reg(cpu.Esp) + "\r\n";
    out += "EDX: " + reg(cpu.Edx) + "   EIP: " + reg(cpu.Eip) + "\r\n";
  }
  out += CrLf;

  // The stack column is "address: word" and the dump column "address: 16 bytes  16 characters",
  // with addresses and stack words of 8 digits, or 16 in a 64-bit program's report.
  const size_t digits = wide ? 16 : 8;
  std::string stackTitle = layout.Text(92) + ":";
  if (stackTitle.size() < 2 * digits + 5) stackTitle.resize(2 * digits + 5, ' ');
  out += stackTitle + layout.Text(93) + ":\r\n";
  out += std::string(2 * digits + 2, '-') + "   " + std::string(digits + 67, '-') + "\r\n";
  if (cpu.HasContext && cpu.StackReadable && cpu.DumpReadable) {
    const size_t word = wide ? 8 : 4;
    for (size_t line = 0; line < 16; ++line) {
      const uint8_t* w = &cpu.Stack[line * word];
      uint64_t value = 0;
      for (size_t b = word; b-- > 0;) value = value << 8 | w[b];
      if (wide) {
        out += Hex16(cpu.Rsp + line * 8) + ": " + Hex16(value) + "   " +
               Hex16(cpu.DumpAddress + line * 16) + ": ";
      } else {
        out += Hex8(cpu.Esp + static_cast<uint32_t>(line * 4)) + ": " +
               Hex8(static_cast<uint32_t>(value)) + "   " +
               Hex8(static_cast<uint32_t>(cpu.DumpAddress + line * 16)) + ": ";
      }
      const uint8_t* bytes = &cpu.Dump[line * 16];
      static const char hexDigits[] = "0123456789ABCDEF";
      for (int b = 0; b < 16; ++b) {
        out += hexDigits[bytes[b] >> 4];
        out += hexDigits[bytes[b] & 15];
        out += ' ';
      }
      out += ' ';
      for (int b = 0; b < 16; ++b)
        out += bytes[b] < 32 || bytes[b] > 126 ? '.' : static_cast<char>(bytes[b]);
      out += CrLf;
    }
  }
  return out;
}

std::string BuildReproduceSection(const TReportLayout& layout, const std::string& text) {
  TLogItem log(7);
  log.AddHeader(layout.Text(81));
  log.AddItem("", text, true);
  return log.Text();
}

void AddReproduceSection(TReportTexts& texts, const TReportLayout& layout, const std::string& text) {
  if (text.empty()) return;
  texts.General += "\r\n" + BuildReproduceSection(layout, text);
  texts.Report = texts.General + "\r\n" + texts.CallStackAndModules + texts.Cpu;
}

TReportTexts BuildReportText(TReportData& data, const TReportLayout& layout) {
  TReportTexts t;
  t.General = BuildGeneralText(data, layout);
  t.CallStackAndModules =
      BuildCallStackSection(data.Stack, data.Threads, data.MainThreadId, layout, data.WideAddresses) +
      BuildModulesSection(data.Modules, layout, data.WideAddresses);
  t.Cpu = BuildCpuSection(data.Cpu, layout);
  t.Address = data.ExceptionAddress == 0 ? std::string()
                                         : HexAddress(data.ExceptionAddress, data.WideAddresses);
  t.Module = data.ExceptionModule;
  t.Type = data.ValidObject ? data.ExceptionType : std::string("Unknown exception type.");
  t.Message = ReportMessageText(data);
  // The custom section goes after the general text and its empty line; the general text grows
  // by it so that it stays the head of the report text.
  if (data.HasCustomData) t.General += "\r\n" + BuildCustomSection(layout, data.CustomData);
  t.Report = t.General + "\r\n" + t.CallStackAndModules + t.Cpu;
  return t;
}

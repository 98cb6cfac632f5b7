// The options record: byte helpers, string scrambling, and save/load of TFaultModuleOptions with
// the rules for records written by older builds.
#include "faultline/options/options_record.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "faultline/options/container.h"
#include "faultline/options/options.h"

namespace {

// "FLX1" as written by WriteUInt32 (little-endian): the start of the added options.
constexpr uint32_t AddedOptionsMagic = 0x31584C46;

// A numeric added option: damage (not digits, or above the highest value the option takes) is
// an error, as for the record's fixed fields.
uint8_t AddedNumber(const std::string& value, unsigned highest) {
  unsigned n = 0;
  bool ok = !value.empty() && value.size() <= 3;
  for (char c : value) {
    ok = ok && c >= '0' && c <= '9';
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  if (!ok || n > highest)
    throw EFaultContainerError("Options data damaged: the added option value \"" + value.substr(0, 16) +
                               "\" is not a number from 0 to " + std::to_string(highest) + ".");
  return static_cast<uint8_t>(n);
}

[[noreturn]] void Truncated(size_t pos, size_t wanted, size_t remaining) {
  throw EFaultContainerError("Options data ends early: " + std::to_string(wanted) +
                             " byte(s) needed at offset " + std::to_string(pos) + ", " +
                             std::to_string(remaining) + " left.");
}

// Records older than 500 kept 32 item bits in a different order; three groups of the old
// numbering were dropped and the rest moved down.
TItemVisibility ConvertOldItemVisibility(const TItemVisibility& old) {
  std::string bits;
  for (int i = 0; i < 40; ++i) bits += (old[i / 8] >> (i % 8)) & 1 ? '1' : '0';
  bits.erase(4, 1);
  bits.erase(19, 3);
  bits.erase(23, 5);
  TItemVisibility result{};
  for (size_t k = 0; k < bits.size(); ++k)
    if (bits[k] == '1') result[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
  return result;
}

// Whether text `i` is stored in a record of version `v`.
bool TextStored(int i, uint16_t v) {
  if (i == 17 && v < 420) return false;
  if (i == 16 && v < 421) return false;
  if (v < 450) {
    if ((i >= 8 && i <= 11) || (i >= 18 && i <= 20) || i == 26 || i == 41 || i == 52 ||
        i == 47 || i == 48 || i >= 75)
      return false;
  }
  if (v < 500) {
    if (i == 12 || i == 13 || i == 21 || i == 27 || (i >= 46 && i <= 48) ||
        (i >= 54 && i <= 61) || (i >= 68 && i <= 74) || i == 89 || i == 94 || i == 95)
      return false;
  }
  return true;
}

uint8_t WithBit(uint8_t flags, uint8_t bit, bool on) {
  return on ? static_cast<uint8_t>(flags | bit) : static_cast<uint8_t>(flags & ~bit);
}

uint16_t WithBit16(uint16_t flags, uint16_t bit, bool on) {
  return on ? static_cast<uint16_t>(flags | bit) : static_cast<uint16_t>(flags & ~bit);
}

}  // namespace

// --- byte helpers ----------------------------------------------------------------------------

std::string_view TFaultRecordReader::ReadBytes(size_t count) {
  if (count > Remaining()) Truncated(pos_, count, Remaining());
  std::string_view result = bytes_.substr(pos_, count);
  pos_ += count;
  return result;
}

uint8_t TFaultRecordReader::ReadByte() { return static_cast<uint8_t>(ReadBytes(1)[0]); }

uint16_t TFaultRecordReader::ReadUInt16() {
  std::string_view b = ReadBytes(2);
  return static_cast<uint16_t>(static_cast<uint8_t>(b[0]) | static_cast<uint8_t>(b[1]) << 8);
}

uint32_t TFaultRecordReader::ReadUInt32() {
  std::string_view b = ReadBytes(4);
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[i]);
  return v;
}

double TFaultRecordReader::ReadDouble() {
  std::string_view b = ReadBytes(8);
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[i]);
  double d;
  std::memcpy(&d, &v, sizeof d);
  return d;
}

std::string TFaultRecordReader::ReadString() {
  size_t at = pos_;
  uint32_t length = ReadUInt32();
  if (length > Remaining()) {
    pos_ = at;
    throw EFaultContainerError("Options data damaged: a text of " + std::to_string(length) +
                               " byte(s) at offset " + std::to_string(at) + " runs past the end (" +
                               std::to_string(Remaining()) + " byte(s) left).");
  }
  return ScrambleRecordString(ReadBytes(length));
}

void WriteByte(std::string& out, uint8_t value) { out += static_cast<char>(value); }

void WriteUInt16(std::string& out, uint16_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>(value >> 8);
}

void WriteUInt32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void WriteDouble(std::string& out, double value) {
  uint64_t v;
  std::memcpy(&v, &value, sizeof v);
  for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string RecordStringStored(std::string_view text) {
  size_t crlf = text.find("\r\n");
  if (text.size() > 1 && crlf != std::string_view::npos && crlf == text.size() - 2)
    return std::string(text.substr(0, text.size() - 2));
  return std::string(text);
}

std::string ScrambleRecordString(std::string_view text) {
  std::string s(text);
  for (char& c : s) c = static_cast<char>(static_cast<uint8_t>(c) ^ FaultRecordScrambleByte);
  return s;
}

void WriteRecordString(std::string& out, std::string_view text) {
  std::string stored = RecordStringStored(text);
  WriteUInt32(out, static_cast<uint32_t>(stored.size()));
  out += ScrambleRecordString(stored);
}

// --- save / load -----------------------------------------------------------------------------

void TFaultModuleOptions::SaveToStream(std::string& s) const {
  WriteByte(s, logOn_);
  WriteByte(s, filterOn_);
  WriteByte(s, logSections_);
  WriteByte(s, logAppend_);
  WriteByte(s, logSaved_);
  WriteByte(s, firstDialogPage_);
  WriteByte(s, freezeWatch_);
  WriteUInt32(s, static_cast<uint32_t>(freezeSeconds_));
  WriteRecordString(s, freezeText_);
  WriteRecordString(s, mailSender_);
  WriteRecordString(s, mailServer_);
  WriteUInt16(s, mailServerPort_);
  WriteRecordString(s, mailServerUser_);
  WriteRecordString(s, mailServerPassword_);
  WriteByte(s, terminateAction_);
  WriteByte(s, terminateButtonShown_);
  WriteUInt32(s, static_cast<uint32_t>(logMaxReports_));
  WriteUInt32(s, static_cast<uint32_t>(terminateButtonAfter_));
  WriteRecordString(s, mailTo_);
  WriteRecordString(s, mailSubject_);
  WriteByte(s, mailMode_);
  s.append(reinterpret_cast<const char*>(itemVisibility_.data()), itemVisibility_.size());
  WriteRecordString(s, logPath_);
  WriteByte(s, uploadMode_);
  WriteRecordString(s, uploadUrl_);
  WriteRecordString(s, uploadUser_);
  WriteRecordString(s, uploadPassword_);
  WriteUInt32(s, uploadPort_);
  WriteRecordString(s, extraFiles_);
  WriteUInt16(s, sendFlags_);
  WriteByte(s, dialogFlags_);
  WriteUInt32(s, static_cast<uint32_t>(dialogCloseSeconds_));
  WriteRecordString(s, supportLink_);
  WriteRecordString(s, pageTemplate_);
  WriteByte(s, stackFlags_);
  WriteByte(s, handlingFlags_);
  WriteByte(s, crashAction_);
  WriteUInt32(s, static_cast<uint32_t>(crashCount_));
  WriteUInt32(s, static_cast<uint32_t>(crashMinutes_));
  size_t pairs = std::max(filterClasses_.size(), filterTexts_.size());
  WriteUInt32(s, static_cast<uint32_t>(pairs));
  for (size_t i = 0; i < pairs; ++i) {
    WriteRecordString(s, i < filterClasses_.size() ? filterClasses_[i] : std::string());
    WriteRecordString(s, i < filterTexts_.size() ? filterTexts_[i] : std::string());
  }
  WriteRecordString(s, mailBody_);
  for (const std::string& text : texts_) WriteRecordString(s, text);
  // Options added since the layout was fixed follow as named values, written only when one differs
  // from its default: a record without them is byte for byte what it always was, and a reader
  // that knows none of them stops before them.
  std::vector<std::pair<std::string, std::string>> added;
  if (mailFallbackDns_ != DefaultMailFallbackDns) added.emplace_back("MailFallbackDns", mailFallbackDns_);
  if (minidumpMode_ != 0) added.emplace_back("MinidumpMode", std::to_string(minidumpMode_));
  if (resendKept_) added.emplace_back("ResendKept", "1");
  if (!added.empty()) {
    WriteUInt32(s, AddedOptionsMagic);
    WriteUInt32(s, static_cast<uint32_t>(added.size()));
    for (const auto& [name, value] : added) {
      WriteRecordString(s, name);
      WriteRecordString(s, value);
    }
  }
}

void TFaultModuleOptions::LoadFromStream(TFaultRecordReader& r, uint16_t v) {
  InUpdate(*this, [&] {
    SetLogOn(r.ReadBool());
    SetFilterOn(r.ReadBool());
    SetLogSections(r.ReadByte());
    if (v < 500) {
      uint8_t b = r.ReadByte();
      if (v < 450) b ^= 1;
      SetDialogFlags(WithBit(DialogFlags(), 0x01, b != 0));
    }
    SetLogAppend(r.ReadBool());
    if (v >= 450 && v < 500) {
      for (uint16_t bit : {uint16_t{0x04}, uint16_t{0x10}, uint16_t{0x01}})
        SetSendFlags(WithBit16(SendFlags(), bit, r.ReadByte() != 0));
    }
    if (v >= 401) {
      SetLogSaved(r.ReadBool());
      SetFirstDialogPage(r.ReadByte());
    }
    if (v >= 403 && v < 500) SetDialogFlags(WithBit(DialogFlags(), 0x80, r.ReadByte() != 0));
    if (v >= 420) {
      StoreFreezeWatch(r.ReadBool());
      int32_t seconds = r.ReadInt32();
      SetFreezeSeconds(v < 422 ? seconds / 1000 : seconds);
      SetFreezeText(r.ReadString());
      if (v >= 450) SetMailSender(r.ReadString());
      SetMailServer(r.ReadString());
    }
    if (v >= 450) SetMailServerPort(r.ReadUInt16());
    if (v >= 421) {
      SetMailServerUser(r.ReadString());
      SetMailServerPassword(r.ReadString());
      SetTerminateAction(r.ReadByte());
    }
    SetTerminateButtonShown(r.ReadBool());
    SetLogMaxReports(r.ReadInt32());
    SetTerminateButtonAfter(r.ReadInt32());
    SetMailTo(r.ReadString());
    SetMailSubject(r.ReadString());
    SetMailMode(r.ReadByte());
    if (v < 450 && MailMode() != 0) SetMailMode(MailServer().empty() ? 1 : 2);
    if (v >= 500) {
      std::string_view b = r.ReadBytes(5);
      TItemVisibility items;
      for (int i = 0; i < 5; ++i) items[i] = static_cast<uint8_t>(b[i]);
      SetItemVisibility(items);
    } else {
      std::string_view b = r.ReadBytes(4);
      TItemVisibility items = ItemVisibility();
      for (int i = 0; i < 4; ++i) items[i] = static_cast<uint8_t>(b[i]);
      SetItemVisibility(ConvertOldItemVisibility(items));
    }
    if (v < 450) r.Skip(1);
    SetLogPath(r.ReadString());
    if (v >= 500) {
      SetUploadMode(r.ReadByte());
      SetUploadUrl(r.ReadString());
      SetUploadUser(r.ReadString());
      SetUploadPassword(r.ReadString());
      SetUploadPort(r.ReadUInt32());
      SetExtraFiles(r.ReadString());
      SetSendFlags(r.ReadUInt16());
      SetDialogFlags(r.ReadByte());
      SetDialogCloseSeconds(r.ReadInt32());
      SetSupportLink(r.ReadString());
      SetPageTemplate(r.ReadString());
      SetStackFlags(r.ReadByte());
      SetHandlingFlags(r.ReadByte());
      SetCrashAction(r.ReadByte());
      SetCrashCount(r.ReadInt32());
      SetCrashMinutes(r.ReadInt32());
    }
    ClearFilter();
    uint32_t pairs = r.ReadUInt32();
    // Each pair takes at least its two length words: a count the bytes cannot hold is damage,
    // not a reason to loop four billion times.
    if (pairs > r.Remaining() / 8)
      throw EFaultContainerError("Options data damaged: " + std::to_string(pairs) +
                                 " filter entries cannot fit in the " +
                                 std::to_string(r.Remaining()) + " byte(s) left.");
    std::vector<std::string> classes, texts;
    for (uint32_t i = 0; i < pairs; ++i) {
      classes.push_back(r.ReadString());
      texts.push_back(r.ReadString());
    }
    SetFilter(std::move(classes), std::move(texts));
    SetMailBody(r.ReadString());
    for (int i = 0; i < FaultTextCount; ++i)
      if (TextStored(i, v)) SetText(i, r.ReadString());
    // Added options (see SaveToStream), only in today's layout, which stores the record with its
    // length (older layouts have other data right after the texts). Names this build does not
    // know are passed over.
    if (v >= FaultContainerVersion && r.Remaining() >= 8 && TFaultRecordReader(r.Rest()).ReadUInt32() == AddedOptionsMagic) {
      r.Skip(4);
      const uint32_t count = r.ReadUInt32();
      if (count > r.Remaining() / 8)
        throw EFaultContainerError("Options data damaged: " + std::to_string(count) +
                                   " added options cannot fit in the " + std::to_string(r.Remaining()) + " byte(s) left.");
      for (uint32_t i = 0; i < count; ++i) {
        const std::string name = r.ReadString();
        std::string value = r.ReadString();
        if (name == "MailFallbackDns") SetMailFallbackDns(std::move(value));
        else if (name == "MinidumpMode") SetMinidumpMode(AddedNumber(value, 2));
        else if (name == "ResendKept") SetResendKept(AddedNumber(value, 1) != 0);
      }
    }
  });
}

#include "tools/fldata/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <tuple>

namespace {

constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kResourceDir = 2, kDebugDir = 6;

uint32_t AlignUp(uint32_t v, uint32_t a) { return a ? (v + a - 1) / a * a : v; }

void Put16(std::string& s, size_t at, uint16_t v) {
  s[at] = char(v & 0xFF);
  s[at + 1] = char(v >> 8);
}
void Put32(std::string& s, size_t at, uint32_t v) {
  Put16(s, at, uint16_t(v & 0xFFFF));
  Put16(s, at + 2, uint16_t(v >> 16));
}
void Append16(std::string& s, uint16_t v) {
  s += char(v & 0xFF);
  s += char(v >> 8);
}
void Append32(std::string& s, uint32_t v) {
  Append16(s, uint16_t(v & 0xFFFF));
  Append16(s, uint16_t(v >> 16));
}

// A resource directory key: a number or a name (UTF-16 code units).
struct TResKey {
  bool IsName = false;
  uint32_t Id = 0;
  std::u16string Name;
};
std::u16string Upper(const std::u16string& s) {
  std::u16string u = s;
  for (auto& c : u)
    if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
  return u;
}
// Named entries first, by upper-cased name; then numbers ascending.
bool KeyLess(const TResKey& a, const TResKey& b) {
  if (a.IsName != b.IsName) return a.IsName;
  if (a.IsName) return Upper(a.Name) < Upper(b.Name);
  return a.Id < b.Id;
}
bool KeyEqual(const TResKey& a, const TResKey& b) { return !KeyLess(a, b) && !KeyLess(b, a); }

struct TResLeaf {
  std::string Data;
  uint32_t CodePage = 0;
};
struct TResLang {
  TResKey Key;
  TResLeaf Leaf;
};
struct TResName {
  TResKey Key;
  std::vector<TResLang> Langs;
};
struct TResType {
  TResKey Key;
  std::vector<TResName> Names;
};

}  // namespace

TPeImage::TPeImage(std::string bytes) : bytes_(std::move(bytes)) {
  if (bytes_.size() < 64 || bytes_.compare(0, 2, "MZ") != 0) throw EPeError("not an MZ executable");
  peOffset_ = U32(60);
  if (uint64_t(peOffset_) + 4 > bytes_.size() || bytes_.compare(peOffset_, 4, std::string("PE\0\0", 4)) != 0)
    throw EPeError("no PE signature");
  uint32_t coff = peOffset_ + 4;
  uint16_t sectionCount = U16(coff + 2);
  uint16_t optSize = U16(coff + 16);
  optOffset_ = coff + 20;
  const uint16_t magic = U16(optOffset_);
  if (magic != 0x10B && magic != 0x20B) {
    char text[80];
    std::snprintf(text, sizeof text, "not a PE32 or PE32+ image (optional header magic 0x%X)", magic);
    throw EPeError(text);
  }
  // The two forms share their fields up to the image base; PE32+ holds a 64-bit image base where
  // PE32 has the base of data and a 32-bit image base, and four more bytes in each of the stack
  // and heap sizes: its data directories start 16 bytes later.
  is64_ = magic == 0x20B;
  const uint32_t dirsAt = is64_ ? 112 : 96;
  if (optSize < dirsAt) throw EPeError("optional header too short for its own fields");
  imageBase_ = is64_ ? uint64_t(U32(optOffset_ + 24)) | uint64_t(U32(optOffset_ + 28)) << 32 : U32(optOffset_ + 28);
  sectionAlignment_ = U32(optOffset_ + 32);
  fileAlignment_ = U32(optOffset_ + 36);
  // Directory slots past the optional header's size would be read from the section table.
  dirCount_ = std::min(U32(optOffset_ + dirsAt - 4), uint32_t(optSize - dirsAt) / 8);
  dirTable_ = optOffset_ + dirsAt;
  sectionTable_ = optOffset_ + optSize;
  uint32_t symbolTable = U32(coff + 8), symbolCount = U32(coff + 12);
  for (uint16_t i = 0; i < sectionCount; ++i) {
    size_t h = sectionTable_ + i * kSectionHeaderSize;
    TPeSection s;
    if (h + kSectionHeaderSize > bytes_.size()) throw EPeError("section table cut short");
    s.Name = std::string(bytes_.data() + h, strnlen(bytes_.data() + h, 8));
    if (s.Name.size() > 1 && s.Name[0] == '/' && symbolTable) {
      // A long name in the COFF string table, which follows the symbols.
      size_t at = size_t(symbolTable) + size_t(symbolCount) * 18 + std::strtoul(s.Name.c_str() + 1, nullptr, 10);
      if (at < bytes_.size()) s.Name = std::string(bytes_.data() + at, strnlen(bytes_.data() + at, bytes_.size() - at));
    }
    s.VirtualSize = U32(h + 8);
    s.VirtualAddress = U32(h + 12);
    s.RawSize = U32(h + 16);
    s.RawPointer = U32(h + 20);
    s.Characteristics = U32(h + 36);
    // A file cut short: whatever was written after it would sit inside a section's data.
    if (s.RawSize && uint64_t(s.RawPointer) + s.RawSize > bytes_.size())
      throw EPeError("section " + s.Name + " reaches past the end of the file (cut short?)");
    sections_.push_back(s);
  }
}

uint32_t TPeImage::U32(size_t at) const {
  if (at + 4 > bytes_.size()) throw EPeError("image cut short");
  uint32_t v;
  std::memcpy(&v, bytes_.data() + at, 4);
  return v;
}

uint16_t TPeImage::U16(size_t at) const {
  if (at + 2 > bytes_.size()) throw EPeError("image cut short");
  return uint16_t(uint8_t(bytes_[at]) | uint8_t(bytes_[at + 1]) << 8);
}

const TPeSection* TPeImage::FindSection(std::string_view name) const {
  for (const auto& s : sections_)
    if (s.Name == name) return &s;
  return nullptr;
}

std::string_view TPeImage::SectionBytes(const TPeSection& s) const {
  size_t size = std::min(s.RawSize, s.VirtualSize ? s.VirtualSize : s.RawSize);
  if (s.RawPointer > bytes_.size()) return {};
  return std::string_view(bytes_).substr(s.RawPointer, std::min(size, bytes_.size() - s.RawPointer));
}

std::vector<TPeImage::TCodeSymbol> TPeImage::CodeSymbols() const {
  std::vector<TCodeSymbol> out;
  const uint32_t coff = peOffset_ + 4;
  uint32_t table = U32(coff + 8), count = U32(coff + 12);
  if (!table || uint64_t(table) + uint64_t(count) * 18 > bytes_.size()) return out;
  size_t strings = size_t(table) + size_t(count) * 18;
  for (uint32_t i = 0; i < count; ++i) {
    size_t at = table + size_t(i) * 18;
    uint8_t aux = uint8_t(bytes_[at + 17]);
    int16_t sectionNumber = int16_t(U16(at + 12));
    uint8_t storageClass = uint8_t(bytes_[at + 16]);
    i += aux;
    // External and static symbols in a code section.
    if (sectionNumber < 1 || size_t(sectionNumber) > sections_.size() || !sections_[sectionNumber - 1].Executable())
      continue;
    if (storageClass != 2 && storageClass != 3) continue;
    std::string name;
    if (U32(at) == 0) {
      size_t off = strings + U32(at + 4);
      if (off >= bytes_.size()) continue;
      name.assign(bytes_.data() + off, strnlen(bytes_.data() + off, bytes_.size() - off));
    } else {
      name.assign(bytes_.data() + at, strnlen(bytes_.data() + at, 8));
    }
    if (name.empty() || name[0] == '.') continue;  // section symbols
    out.push_back({std::move(name), sections_[sectionNumber - 1].VirtualAddress + U32(at + 8)});
  }
  std::sort(out.begin(), out.end(), [](const TCodeSymbol& a, const TCodeSymbol& b) { return a.Rva < b.Rva; });
  return out;
}

size_t TPeImage::RvaToFile(uint32_t rva, uint32_t size) const {
  for (const auto& s : sections_) {
    if (rva >= s.VirtualAddress && uint64_t(rva) + size <= uint64_t(s.VirtualAddress) + s.RawSize) {
      size_t at = size_t(s.RawPointer) + (rva - s.VirtualAddress);
      if (at + size > bytes_.size()) break;
      return at;
    }
  }
  throw EPeError("address outside the image's data");
}

namespace {

// Reads the resource tree of an image (three levels: type, name, language).
class TResourceReader {
 public:
  TResourceReader(const std::string& bytes, size_t base, uint32_t size,
                  std::function<size_t(uint32_t, uint32_t)> rvaToFile)
      : bytes_(bytes), base_(base), size_(size), rvaToFile_(std::move(rvaToFile)) {}

  std::vector<TResType> Read() {
    std::vector<TResType> types;
    for (auto& [key, off, isDir] : Entries(0)) {
      if (!isDir) continue;
      TResType t{key, {}};
      for (auto& [nkey, noff, nIsDir] : Entries(off)) {
        if (!nIsDir) continue;
        TResName n{nkey, {}};
        for (auto& [lkey, loff, lIsDir] : Entries(noff)) {
          if (lIsDir) continue;
          TResLang l{lkey, Leaf(loff)};
          n.Langs.push_back(std::move(l));
        }
        t.Names.push_back(std::move(n));
      }
      types.push_back(std::move(t));
    }
    return types;
  }

 private:
  uint32_t U32(uint32_t off) const {
    if (uint64_t(off) + 4 > size_) throw EPeError("resource directory out of its section");
    uint32_t v;
    std::memcpy(&v, bytes_.data() + base_ + off, 4);
    return v;
  }
  uint16_t U16(uint32_t off) const {
    if (uint64_t(off) + 2 > size_) throw EPeError("resource directory out of its section");
    return uint16_t(uint8_t(bytes_[base_ + off]) | uint8_t(bytes_[base_ + off + 1]) << 8);
  }

  std::vector<std::tuple<TResKey, uint32_t, bool>> Entries(uint32_t dirOff) {
    if (++visits_ > 100000) throw EPeError("resource directory loops");
    uint32_t counts = U32(dirOff + 12);
    uint32_t n = (counts & 0xFFFF) + (counts >> 16);
    std::vector<std::tuple<TResKey, uint32_t, bool>> out;
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t e = dirOff + 16 + i * 8;
      uint32_t name = U32(e), target = U32(e + 4);
      TResKey key;
      if (name & 0x80000000u) {
        key.IsName = true;
        uint32_t at = name & 0x7FFFFFFF;
        uint32_t len = U16(at);
        for (uint32_t k = 0; k < len; ++k) key.Name += char16_t(U16(at + 2 + k * 2));
      } else {
        key.Id = name;
      }
      out.emplace_back(key, target & 0x7FFFFFFF, (target & 0x80000000u) != 0);
    }
    return out;
  }

  TResLeaf Leaf(uint32_t off) {
    TResLeaf leaf;
    uint32_t rva = U32(off), size = U32(off + 4);
    leaf.CodePage = U32(off + 8);
    size_t at = rvaToFile_(rva, size);
    leaf.Data = bytes_.substr(at, size);
    return leaf;
  }

  const std::string& bytes_;
  size_t base_;
  uint32_t size_;
  std::function<size_t(uint32_t, uint32_t)> rvaToFile_;
  int visits_ = 0;
};

// Lays out a resource tree for a section at sectionRva.
std::string WriteResources(const std::vector<TResType>& types, uint32_t sectionRva) {
  // Sizes of the directory part, then strings, then data entries, then data.
  uint32_t dirSize = 16 + 8 * uint32_t(types.size());
  for (const auto& t : types) {
    dirSize += 16 + 8 * uint32_t(t.Names.size());
    for (const auto& n : t.Names) dirSize += 16 + 8 * uint32_t(n.Langs.size());
  }
  std::string dirs, strings, entries, data;
  std::vector<std::pair<size_t, uint32_t>> stringFixups;  // position in dirs, offset in strings
  std::vector<std::pair<size_t, uint32_t>> entryFixups;   // position in dirs, offset in entries
  std::vector<std::pair<size_t, uint32_t>> dataFixups;    // position in entries, offset in data

  auto writeDir = [&](uint16_t named, uint16_t ids) {
    Append32(dirs, 0);  // characteristics
    Append32(dirs, 0);  // time stamp
    Append32(dirs, 0);  // version
    Append16(dirs, named);
    Append16(dirs, ids);
  };
  auto keyField = [&](const TResKey& key) {
    if (!key.IsName) {
      Append32(dirs, key.Id & 0x7FFFFFFF);
      return;
    }
    stringFixups.emplace_back(dirs.size(), uint32_t(strings.size()));
    Append32(dirs, 0);
    Append16(strings, uint16_t(key.Name.size()));
    for (char16_t c : key.Name) Append16(strings, uint16_t(c));
  };
  auto counts = [](const auto& list) {
    uint16_t named = 0;
    for (const auto& x : list) named += x.Key.IsName;
    return std::pair<uint16_t, uint16_t>(named, uint16_t(list.size() - named));
  };

  // Breadth-first: root, then the type directories, then the name directories.
  auto [rn, ri] = counts(types);
  writeDir(rn, ri);
  uint32_t next = 16 + 8 * uint32_t(types.size());
  for (const auto& t : types) {
    keyField(t.Key);
    Append32(dirs, 0x80000000u | next);
    next += 16 + 8 * uint32_t(t.Names.size());
  }
  for (const auto& t : types) {
    auto [nn, ni] = counts(t.Names);
    writeDir(nn, ni);
    for (const auto& n : t.Names) {
      keyField(n.Key);
      Append32(dirs, 0x80000000u | next);
      next += 16 + 8 * uint32_t(n.Langs.size());
    }
  }
  for (const auto& t : types) {
    for (const auto& n : t.Names) {
      auto [ln, li] = counts(n.Langs);
      writeDir(ln, li);
      for (const auto& l : n.Langs) {
        keyField(l.Key);
        entryFixups.emplace_back(dirs.size(), uint32_t(entries.size()));
        Append32(dirs, 0);
        while (data.size() % 8) data += '\0';
        dataFixups.emplace_back(entries.size(), uint32_t(data.size()));
        Append32(entries, 0);  // data address, fixed below
        Append32(entries, uint32_t(l.Leaf.Data.size()));
        Append32(entries, l.Leaf.CodePage);
        Append32(entries, 0);
        data += l.Leaf.Data;
      }
    }
  }
  if (dirs.size() != dirSize) throw EPeError("resource directory layout mismatch");
  while (strings.size() % 4) strings += '\0';
  uint32_t stringsAt = dirSize;
  uint32_t entriesAt = stringsAt + uint32_t(strings.size());
  uint32_t dataAt = AlignUp(entriesAt + uint32_t(entries.size()), 8);
  for (auto [pos, off] : stringFixups) Put32(dirs, pos, 0x80000000u | (stringsAt + off));
  for (auto [pos, off] : entryFixups) Put32(dirs, pos, entriesAt + off);
  for (auto [pos, off] : dataFixups) Put32(entries, pos, sectionRva + dataAt + off);
  std::string out = dirs + strings + entries;
  out.resize(dataAt, '\0');
  out += data;
  return out;
}

// The PE checksum: 16-bit one's-complement-style sum of the file with the checksum field as zero,
// plus the file length.
uint32_t PeChecksum(const std::string& bytes, size_t checksumAt) {
  uint64_t sum = 0;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    if (i == checksumAt || i == checksumAt + 2) continue;
    uint32_t word = uint8_t(bytes[i]) | (i + 1 < bytes.size() ? uint8_t(bytes[i + 1]) << 8 : 0);
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return uint32_t(sum + bytes.size());
}

std::u16string Widen(std::string_view s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

const TPeSection* TPeImage::ReplaceableResourceSection() const {
  const size_t dirAt = DirectoryAt(kResourceDir);
  if (!dirAt || sections_.empty()) return nullptr;
  uint32_t rva = U32(dirAt);
  const TPeSection& last = sections_.back();
  if (!rva || last.VirtualAddress != rva || size_t(last.RawPointer) + last.RawSize != bytes_.size()) return nullptr;
  return &last;
}

std::optional<std::string> TPeImage::FindResource(uint16_t type, std::string_view name) const {
  const size_t dirAt = DirectoryAt(kResourceDir);
  if (!dirAt) return std::nullopt;
  uint32_t rva = U32(dirAt), size = U32(dirAt + 4);
  if (!rva || !size) return std::nullopt;
  size_t base = RvaToFile(rva, size);
  TResourceReader reader(bytes_, base, size, [this](uint32_t r, uint32_t s) { return RvaToFile(r, s); });
  TResKey nameKey{true, 0, Upper(Widen(name))};
  for (const auto& t : reader.Read()) {
    if (t.Key.IsName || t.Key.Id != type) continue;
    for (const auto& n : t.Names)
      if (KeyEqual(n.Key, nameKey) && !n.Langs.empty()) return n.Langs.front().Leaf.Data;
  }
  return std::nullopt;
}

std::string TPeImage::WithResource(uint16_t type, std::string_view name, std::string_view data) const {
  std::string out = bytes_;
  std::vector<TPeSection> sections = sections_;
  const size_t dirAt = DirectoryAt(kResourceDir);
  if (!dirAt) throw EPeError("image has no resource directory slot");

  // The current tree.
  std::vector<TResType> types;
  uint32_t initialized = U32(optOffset_ + 8);
  uint32_t oldRva = U32(dirAt), oldSize = U32(dirAt + 4);
  if (oldRva && oldSize) {
    TResourceReader reader(bytes_, RvaToFile(oldRva, oldSize), oldSize,
                           [this](uint32_t r, uint32_t s) { return RvaToFile(r, s); });
    types = reader.Read();
  }
  // A resource section this tool added before sits last in the image and at the end of the file:
  // drop it and write the whole tree again.
  if (ReplaceableResourceSection()) {
    out.resize(sections.back().RawPointer);
    sections.pop_back();
    size_t h = sectionTable_ + sections.size() * kSectionHeaderSize;
    std::memset(out.data() + h, 0, kSectionHeaderSize);
    initialized -= std::min(initialized, U32(h + 16));
  }

  // Set the leaf.
  TResKey typeKey{false, type, {}};
  TResKey nameKey{true, 0, Upper(Widen(name))};
  auto t = std::find_if(types.begin(), types.end(), [&](const TResType& x) { return KeyEqual(x.Key, typeKey); });
  if (t == types.end()) {
    types.push_back({typeKey, {}});
    t = types.end() - 1;
  }
  auto n = std::find_if(t->Names.begin(), t->Names.end(), [&](const TResName& x) { return KeyEqual(x.Key, nameKey); });
  if (n == t->Names.end()) {
    t->Names.push_back({nameKey, {}});
    n = t->Names.end() - 1;
  }
  n->Langs.clear();
  n->Langs.push_back({TResKey{false, 0, {}}, TResLeaf{std::string(data), 0}});
  // Directories are searched by bisection: keep every level sorted.
  for (auto& ty : types) {
    for (auto& nm : ty.Names)
      std::stable_sort(nm.Langs.begin(), nm.Langs.end(), [](auto& a, auto& b) { return KeyLess(a.Key, b.Key); });
    std::stable_sort(ty.Names.begin(), ty.Names.end(), [](auto& a, auto& b) { return KeyLess(a.Key, b.Key); });
  }
  std::stable_sort(types.begin(), types.end(), [](auto& a, auto& b) { return KeyLess(a.Key, b.Key); });

  // Room for one more section header; otherwise move every section's data one file-alignment
  // unit further (only file offsets change, never addresses or contents).
  const uint32_t coff = peOffset_ + 4;
  uint32_t headersSize = U32(optOffset_ + 60);
  uint32_t firstRaw = UINT32_MAX;
  for (const auto& s : sections)
    if (s.RawPointer) firstRaw = std::min(firstRaw, s.RawPointer);
  uint32_t tableEnd = sectionTable_ + uint32_t(sections.size() + 1) * kSectionHeaderSize;
  if (tableEnd > headersSize || tableEnd > firstRaw) {
    uint32_t shift = AlignUp(tableEnd - std::min(headersSize, firstRaw), fileAlignment_);
    out.insert(std::min<size_t>(headersSize, firstRaw), shift, '\0');
    Put32(out, optOffset_ + 60, headersSize + shift);
    for (size_t i = 0; i < sections.size(); ++i) {
      if (!sections[i].RawPointer) continue;
      sections[i].RawPointer += shift;
      Put32(out, sectionTable_ + i * kSectionHeaderSize + 20, sections[i].RawPointer);
    }
    uint32_t symbols;
    std::memcpy(&symbols, out.data() + coff + 8, 4);
    if (symbols) Put32(out, coff + 8, symbols + shift);
    // Debug directory entries hold file offsets too.
    if (const size_t debugAt = DirectoryAt(kDebugDir)) {
      uint32_t drva, dsize;
      std::memcpy(&drva, out.data() + debugAt, 4);
      std::memcpy(&dsize, out.data() + debugAt + 4, 4);
      if (drva && dsize) {
        size_t at = RvaToFile(drva, dsize) + shift;
        for (uint32_t e = 0; e + 28 <= dsize; e += 28) {
          uint32_t p;
          std::memcpy(&p, out.data() + at + e + 24, 4);
          if (p) Put32(out, at + e + 24, p + shift);
        }
      }
    }
  }

  // The new section, after the last one in memory and at the end of the file.
  uint32_t rva = 0;
  for (const auto& s : sections) rva = std::max(rva, AlignUp(s.VirtualAddress + std::max(s.VirtualSize, s.RawSize), sectionAlignment_));
  std::string body = WriteResources(types, rva);
  uint32_t raw = AlignUp(uint32_t(out.size()), fileAlignment_);
  out.resize(raw, '\0');
  uint32_t rawSize = AlignUp(uint32_t(body.size()), fileAlignment_);
  out += body;
  out.resize(raw + rawSize, '\0');

  bool haveRsrc = std::any_of(sections.begin(), sections.end(), [](auto& s) { return s.Name == ".rsrc"; });
  size_t h = sectionTable_ + sections.size() * kSectionHeaderSize;
  std::memset(out.data() + h, 0, kSectionHeaderSize);
  std::memcpy(out.data() + h, haveRsrc ? ".rsrc2" : ".rsrc", haveRsrc ? 6 : 5);
  Put32(out, h + 8, uint32_t(body.size()));
  Put32(out, h + 12, rva);
  Put32(out, h + 16, rawSize);
  Put32(out, h + 20, raw);
  Put32(out, h + 36, 0x40000040u);  // initialized data, readable
  Put16(out, coff + 2, uint16_t(sections.size() + 1));

  Put32(out, optOffset_ + 8, initialized + rawSize);
  Put32(out, optOffset_ + 56, AlignUp(rva + uint32_t(body.size()), sectionAlignment_));
  Put32(out, dirAt, rva);
  Put32(out, dirAt + 4, uint32_t(body.size()));
  uint32_t checksum;
  std::memcpy(&checksum, out.data() + optOffset_ + 64, 4);
  if (checksum) Put32(out, optOffset_ + 64, PeChecksum(out, optOffset_ + 64));
  return out;
}

#include "faultline/lists/function_list.h"

#include <algorithm>
#include <cstring>

#include "faultline/hooks/instruction_length.h"

namespace {

// More names than any real module exports; a damaged count must not make us walk for hours.
constexpr uint32_t MaxExportNames = 1u << 17;
constexpr size_t MaxExportNameLength = 256;
// A procedure longer than this is not walked to its end: its size is unknown (1).
constexpr uint32_t MaxProcedureWalk = 1u << 20;

template <typename T>
bool ReadValue(const TMemoryRead& read, uint64_t address, T& value) {
  return read(address, &value, sizeof value);
}

// address + offset without wrapping around.
bool Add(uint64_t address, uint64_t offset, uint64_t& out) {
  if (offset > UINT64_MAX - address) return false;
  out = address + offset;
  return true;
}

// One instruction of 32-bit or 64-bit code.
TInstruction Decode(const uint8_t* code, size_t available, bool code64) {
  return DecodeInstruction(code, available, code64 ? TCodeMode::Code64 : TCodeMode::Code32);
}

struct TExportDirectory {
  uint32_t Rva = 0, Size = 0;
  uint32_t NumberOfFunctions = 0, NumberOfNames = 0;
  uint32_t Functions = 0, Names = 0, Ordinals = 0;  // RVAs
};

struct THeaders {
  TImageFacts Facts;
  uint32_t SizeOfImage = 0;
  uint32_t ExportRva = 0, ExportSize = 0;
  uint64_t SectionTable = 0;  // absolute
  uint16_t SectionCount = 0;
};

bool ReadHeaders(uint64_t base, const TMemoryRead& read, THeaders& h) {
  uint8_t dos[64];
  if (!read(base, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
  uint32_t peOffset;
  std::memcpy(&peOffset, dos + 60, 4);
  uint64_t nt;
  if (!Add(base, peOffset, nt)) return false;
  // Signature, file header and the optional header up to the export directory: 224 bytes of a
  // 32-bit image's are read (as always), a 64-bit image's directories lie 16 bytes further.
  uint8_t hdr[264];
  if (!read(nt, hdr, 248)) return false;
  if (std::memcmp(hdr, "PE\0\0", 4) != 0) return false;
  uint16_t magic, sizeOfOptional, characteristics;
  std::memcpy(&h.SectionCount, hdr + 6, 2);
  std::memcpy(&sizeOfOptional, hdr + 20, 2);
  std::memcpy(&characteristics, hdr + 22, 2);
  std::memcpy(&magic, hdr + 24, 2);
  if (magic == 0x20B) {
    h.Facts.Is64 = true;
    if (!read(nt + 248, hdr + 248, 16)) return false;
  } else if (magic != 0x10B) {
    return false;
  }
  const size_t directories = h.Facts.Is64 ? 112 : 96;  // inside the optional header
  uint32_t sizeOfCode, baseOfCode, rvaCount;
  std::memcpy(&sizeOfCode, hdr + 24 + 4, 4);
  std::memcpy(&baseOfCode, hdr + 24 + 20, 4);
  std::memcpy(&h.SizeOfImage, hdr + 24 + 56, 4);
  std::memcpy(&rvaCount, hdr + 24 + directories - 4, 4);
  if (rvaCount >= 1 && sizeOfOptional >= directories + 8) {
    std::memcpy(&h.ExportRva, hdr + 24 + directories, 4);
    std::memcpy(&h.ExportSize, hdr + 24 + directories + 4, 4);
  }
  h.Facts.IsLibrary = (characteristics & 0x2000) != 0;
  if (!Add(base, baseOfCode, h.Facts.CodeStart) || !Add(h.Facts.CodeStart, sizeOfCode, h.Facts.CodeEnd))
    return false;
  return Add(nt, 24u + sizeOfOptional, h.SectionTable);
}

struct TSection {
  uint32_t Rva, Size;
};

// The sections' ranges (at most 96, as the loader allows); empty when the table cannot be read.
std::vector<TSection> ReadSections(const THeaders& h, const TMemoryRead& read) {
  std::vector<TSection> sections;
  for (uint32_t i = 0; i < h.SectionCount && i < 96; ++i) {
    uint8_t section[40];
    if (!read(h.SectionTable + i * 40, section, sizeof section)) return {};
    uint32_t virtualSize, virtualAddress, rawSize;
    std::memcpy(&virtualSize, section + 8, 4);
    std::memcpy(&virtualAddress, section + 12, 4);
    std::memcpy(&rawSize, section + 16, 4);
    sections.push_back({virtualAddress, std::max(virtualSize, rawSize)});
  }
  return sections;
}

bool InsideSection(const std::vector<TSection>& sections, uint32_t rva) {
  for (const TSection& s : sections)
    if (rva >= s.Rva && rva - s.Rva < s.Size) return true;
  return false;
}

bool ReadExportName(uint64_t address, const TMemoryRead& read, std::string& name) {
  name.clear();
  char chunk[32];
  while (name.size() < MaxExportNameLength) {
    // Read byte-wise near a possible end of readable memory, in chunks elsewhere.
    size_t n = sizeof chunk;
    if (!read(address, chunk, n)) {
      n = 1;
      if (!read(address, chunk, 1)) return false;
    }
    for (size_t i = 0; i < n; ++i) {
      if (chunk[i] == '\0') return true;
      name += chunk[i];
      if (name.size() == MaxExportNameLength) return true;
    }
    if (!Add(address, n, address)) return false;
  }
  return true;
}

}  // namespace

bool ReadImageFacts(uint64_t base, const TMemoryRead& read, TImageFacts& facts) {
  THeaders h;
  if (!ReadHeaders(base, read, h)) return false;
  facts = h.Facts;
  return true;
}

namespace {

// The outcome of one walk: the length, and whether a return ended it (a one-byte procedure that is
// just "ret" and a walk that found no return both have length 1).
struct TWalk {
  uint32_t Length = 1;
  bool Returned = false;
};

// Procedures whose walk is already known, for a walk that reaches one of them exactly at an
// instruction boundary: from there on the walk would go the same way. Sorted by address.
struct TKnownWalks {
  const std::vector<uint64_t>* Addresses = nullptr;
  const std::vector<TWalk>* Walks = nullptr;
  size_t From = 0;  // first index worth looking at
};

TWalk Walk(uint64_t address, uint64_t codeEnd, const TMemoryRead& read, TKnownWalks known, bool code64) {
  TWalk w;
  if (address >= codeEnd) return w;
  const uint32_t limit = static_cast<uint32_t>(std::min<uint64_t>(codeEnd - address, MaxProcedureWalk));
  // Read in pages so that a procedure near the end of readable code still gets its length; keep
  // room for one whole instruction across a chunk boundary.
  uint8_t buffer[4096 + MaxInstructionLength];
  uint32_t walked = 0;
  size_t next = known.From;
  while (walked < limit) {
    const uint32_t want = std::min<uint32_t>(sizeof buffer, limit - walked);
    uint32_t got = want;
    if (!read(address + walked, buffer, got)) {
      // Fall back to what can be read of this chunk, byte by byte at its end.
      got = 0;
      while (got < want && read(address + walked + got, buffer + got, 1)) ++got;
      if (got == 0) return TWalk{0, false};
    }
    uint32_t pos = 0;
    // Decode while a whole instruction surely fits; the last one of a short chunk is decoded
    // with what is there.
    const bool lastChunk = got < want || walked + got >= limit;
    while (pos < got && (lastChunk || got - pos >= MaxInstructionLength)) {
      const uint32_t here = walked + pos;
      if (known.Addresses && here > 0) {
        const uint64_t at = address + here;
        while (next < known.Addresses->size() && (*known.Addresses)[next] < at) ++next;
        if (next < known.Addresses->size() && (*known.Addresses)[next] == at) {
          const TWalk& rest = (*known.Walks)[next];
          if (rest.Returned) return TWalk{here + rest.Length, true};
          return rest;  // no return there either, or unreadable code
        }
      }
      const TInstruction insn = Decode(buffer + pos, got - pos, code64);
      pos += insn.Decodable ? insn.Length : 1;
      if (insn.Decodable && insn.IsReturn) return TWalk{walked + pos, true};
    }
    walked += pos;
    if (got < want) break;  // the rest of the code cannot be read
  }
  return w;
}

}  // namespace

uint32_t ExportProcedureLength(uint64_t address, uint64_t codeEnd, const TMemoryRead& read, bool code64) {
  return Walk(address, codeEnd, read, TKnownWalks{}, code64).Length;
}

bool LoadModuleExports(uint64_t base, const TMemoryRead& read, TFaultFunctionsList& functions,
                       bool unitSizes) {
  functions.clear();
  THeaders h;
  if (!ReadHeaders(base, read, h)) return false;
  const std::vector<TSection> sections = ReadSections(h, read);
  if (h.ExportRva == 0 || !InsideSection(sections, h.ExportRva)) return false;
  uint64_t dirAddress;
  uint32_t words[10];
  if (!Add(base, h.ExportRva, dirAddress) || !read(dirAddress, words, sizeof words)) return false;
  if (words[0] != 0) return false;  // Characteristics: always 0 in a real directory
  TExportDirectory d;
  d.Rva = h.ExportRva;
  d.Size = h.ExportSize;
  d.NumberOfFunctions = words[5];
  d.NumberOfNames = words[6];
  d.Functions = words[7];
  d.Names = words[8];
  d.Ordinals = words[9];

  const uint32_t count = std::min({d.NumberOfFunctions, d.NumberOfNames, MaxExportNames});
  functions.reserve(count);
  std::string name;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t nameRva;
    uint64_t nameAddress, slot;
    uint16_t ordinal;
    if (!Add(base, d.Names, slot) || !Add(slot, uint64_t(i) * 4, slot) || !ReadValue(read, slot, nameRva)) continue;
    if (!Add(base, d.Ordinals, slot) || !Add(slot, uint64_t(i) * 2, slot) || !ReadValue(read, slot, ordinal)) continue;
    if (ordinal >= d.NumberOfFunctions) continue;
    uint32_t functionRva;
    if (!Add(base, d.Functions, slot) || !Add(slot, ordinal * 4u, slot) || !ReadValue(read, slot, functionRva))
      continue;
    // A forwarded export points at "DLL.Name" text inside the directory, not at code.
    if (functionRva == 0 || (functionRva >= d.Rva && functionRva - d.Rva < d.Size)) continue;
    if (h.SizeOfImage != 0 && functionRva >= h.SizeOfImage) continue;
    // Names live in the image's sections; a zeroed or wild entry would name the headers or nothing.
    if (!InsideSection(sections, nameRva) || !Add(base, nameRva, nameAddress) || !ReadExportName(nameAddress, read, name) || name.empty()) continue;
    TFaultFunctionInfo f;
    f.Name = name;
    f.Address = base + functionRva;
    functions.push_back(std::move(f));
  }
  std::stable_sort(functions.begin(), functions.end(),
                   [](const TFaultFunctionInfo& a, const TFaultFunctionInfo& b) { return a.Address < b.Address; });
  if (unitSizes) return true;
  // Lengths from the last procedure to the first: a walk that runs into a later export (stubs and
  // thunks end in a jump, not a return) continues as that export's walk did, so no byte of code is
  // decoded twice. The lengths are those of separate walks.
  std::vector<uint64_t> addresses(functions.size());
  for (size_t i = 0; i < functions.size(); ++i) addresses[i] = functions[i].Address;
  std::vector<TWalk> walks(functions.size());
  for (size_t i = functions.size(); i-- > 0;) {
    TFaultFunctionInfo& f = functions[i];
    if (f.Address < h.Facts.CodeStart) continue;  // data, or code before the code section: size 1
    if (i + 1 < functions.size() && addresses[i + 1] == f.Address) {
      walks[i] = walks[i + 1];  // another name of the same procedure
    } else {
      walks[i] = Walk(f.Address, h.Facts.CodeEnd, read, TKnownWalks{&addresses, &walks, i + 1}, h.Facts.Is64);
    }
    f.Size = walks[i].Length;
  }
  return true;
}

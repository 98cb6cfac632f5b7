#pragma once
// A linked PE image, 32-bit (PE32) or 64-bit (PE32+), as the container build tool needs it: its
// sections, and its resource tree, to which a resource can be added. Adding a resource writes a
// new resource section at the end of the image; every other section keeps its place and its
// bytes, so the code is untouched.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/exception.h"

class EPeError : public Exception {
 public:
  using Exception::Exception;
};

struct TPeSection {
  std::string Name;
  uint32_t VirtualAddress = 0;
  uint32_t VirtualSize = 0;
  uint32_t RawPointer = 0;
  uint32_t RawSize = 0;
  uint32_t Characteristics = 0;
  bool Executable() const { return Characteristics & 0x20000000; }
};

class TPeImage {
 public:
  // Throws EPeError for a file that is not a PE32 or PE32+ image, or whose headers are damaged.
  explicit TPeImage(std::string bytes);

  const std::string& Bytes() const { return bytes_; }
  // PE32+: 64-bit addresses (an x86-64 module).
  bool Is64() const { return is64_; }
  uint64_t ImageBase() const { return imageBase_; }
  const std::vector<TPeSection>& Sections() const { return sections_; }
  const TPeSection* FindSection(std::string_view name) const;

  // The COFF symbols that name code (empty for a stripped image): name as stored (with the
  // leading underscore that 32-bit x86 puts before C and C++ names; x86-64 puts none) and relative
  // address, sorted by address.
  struct TCodeSymbol {
    std::string Name;
    uint32_t Rva = 0;
  };
  std::vector<TCodeSymbol> CodeSymbols() const;
  // The bytes of a section as stored in the file (at most its virtual size).
  std::string_view SectionBytes(const TPeSection& section) const;

  // The data of resource type/name (any language), if the image has it.
  std::optional<std::string> FindResource(uint16_t type, std::string_view name) const;
  // The image file with resource type/name (language neutral) set to data, replacing an existing
  // one of that type and name.
  std::string WithResource(uint16_t type, std::string_view name, std::string_view data) const;
  // The resource section that WithResource writes anew instead of keeping: one that sits last in
  // memory and at the end of the file (as WithResource leaves it). Null when there is none.
  const TPeSection* ReplaceableResourceSection() const;

 private:
  uint32_t U32(size_t at) const;
  uint16_t U16(size_t at) const;
  size_t RvaToFile(uint32_t rva, uint32_t size) const;  // throws when not inside a section's raw data
  // Where data directory `index` is in the file; 0 when the image has no such directory slot.
  size_t DirectoryAt(uint32_t index) const { return index < dirCount_ ? dirTable_ + index * 8 : 0; }

  std::string bytes_;
  uint32_t peOffset_ = 0, optOffset_ = 0, sectionTable_ = 0, dirTable_ = 0;
  bool is64_ = false;
  uint64_t imageBase_ = 0;
  uint32_t sectionAlignment_ = 0, fileAlignment_ = 0, dirCount_ = 0;
  std::vector<TPeSection> sections_;
};

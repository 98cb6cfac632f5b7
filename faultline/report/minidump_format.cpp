#include "faultline/report/minidump_format.h"

#include <algorithm>
#include <cstring>

namespace {

enum : uint32_t {
  kThreadListStream = 3,
  kModuleListStream = 4,
  kMemoryListStream = 5,
  kExceptionStream = 6,
  kSystemInfoStream = 7,
  kMemory64ListStream = 9,
  kMiscInfoStream = 15,
};
constexpr uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr uint32_t kVersion = 42899;
constexpr uint64_t kWithFullMemory = 0x00000002;

void Put16(std::string& s, size_t at, uint16_t v) {
  for (int i = 0; i < 2; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
void Put64(std::string& s, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

// The file grows by appending; each piece is placed at the next multiple of 8 (contexts and
// 64-bit fields read best aligned), its offset returned.
class TLayout {
 public:
  size_t Reserve(size_t size) {
    out_.resize((out_.size() + 7) & ~size_t{7});
    const size_t at = out_.size();
    out_.resize(at + size);
    return at;
  }
  size_t Append(const std::string& bytes) {
    const size_t at = Reserve(bytes.size());
    if (!bytes.empty()) std::memcpy(&out_[at], bytes.data(), bytes.size());
    return at;
  }
  // A MINIDUMP_STRING: its length in bytes, the UTF-16 text and a terminating zero.
  size_t AppendString(const std::u16string& text) {
    const size_t at = Reserve(4 + 2 * text.size() + 2);
    Put32(out_, at, static_cast<uint32_t>(2 * text.size()));
    for (size_t i = 0; i < text.size(); ++i) Put16(out_, at + 4 + 2 * i, static_cast<uint16_t>(text[i]));
    return at;
  }
  std::string& Bytes() { return out_; }

 private:
  std::string out_;
};

// RVAs are 32 bits: an offset past 4 GB is written as the largest one (callers cap stacks, so only
// the full-memory data grows that large, and it is placed by a 64-bit offset).
uint32_t Rva(size_t at) { return static_cast<uint32_t>(std::min<size_t>(at, UINT32_MAX)); }

}  // namespace

std::string MinidumpBytes(const TMinidumpData& data) {
  TLayout file;
  std::vector<std::pair<uint32_t, std::pair<size_t, size_t>>> streams;  // type, (offset, size)
  const size_t header = file.Reserve(32);
  const bool full = !data.FullMemory.empty();
  const size_t count = 6 + (data.HasException ? 1 : 0) + (full ? 1 : 0);
  const size_t directory = file.Reserve(12 * count);

  // System.
  const TMinidumpSystem& sys = data.System;
  const size_t system = file.Reserve(56);
  {
    std::string& b = file.Bytes();
    Put16(b, system, sys.Architecture);
    Put16(b, system + 2, sys.Level);
    Put16(b, system + 4, sys.Revision);
    b[system + 6] = static_cast<char>(sys.Processors);
    b[system + 7] = static_cast<char>(sys.ProductType);
    Put32(b, system + 8, sys.Major);
    Put32(b, system + 12, sys.Minor);
    Put32(b, system + 16, sys.Build);
    Put32(b, system + 20, sys.PlatformId);
    Put16(b, system + 28, sys.SuiteMask);
    for (int i = 0; i < 3; ++i) Put32(b, system + 32 + 4 * i, sys.CpuVendor[i]);
    Put32(b, system + 44, sys.CpuVersion);
    Put32(b, system + 48, sys.CpuFeatures);
  }
  const size_t servicePack = file.AppendString(sys.ServicePack);
  Put32(file.Bytes(), system + 24, Rva(servicePack));
  streams.push_back({kSystemInfoStream, {system, 56}});

  // Process: its id (MINIDUMP_MISC_INFO with MINIDUMP_MISC1_PROCESS_ID).
  const size_t misc = file.Reserve(24);
  Put32(file.Bytes(), misc, 24);
  Put32(file.Bytes(), misc + 4, 1);
  Put32(file.Bytes(), misc + 8, data.ProcessId);
  streams.push_back({kMiscInfoStream, {misc, 24}});

  // Threads, then their contexts and stacks; the stacks are the memory list as well.
  const size_t threads = file.Reserve(4 + 48 * data.Threads.size());
  Put32(file.Bytes(), threads, static_cast<uint32_t>(data.Threads.size()));
  streams.push_back({kThreadListStream, {threads, 4 + 48 * data.Threads.size()}});
  std::vector<std::pair<uint64_t, std::pair<size_t, size_t>>> memory;  // address, (offset, size)
  for (size_t i = 0; i < data.Threads.size(); ++i) {
    const TMinidumpThread& t = data.Threads[i];
    const size_t context = file.Append(t.Context);
    const size_t stack = file.Append(t.Stack);
    memory.push_back({t.StackStart, {stack, t.Stack.size()}});
    std::string& b = file.Bytes();
    const size_t at = threads + 4 + 48 * i;
    Put32(b, at, t.Id);
    Put32(b, at + 12, static_cast<uint32_t>(t.Priority));
    Put64(b, at + 16, t.Teb);
    Put64(b, at + 24, t.StackStart);
    Put32(b, at + 32, static_cast<uint32_t>(t.Stack.size()));
    Put32(b, at + 36, Rva(stack));
    Put32(b, at + 40, static_cast<uint32_t>(t.Context.size()));
    Put32(b, at + 44, Rva(context));
  }

  // Modules.
  const size_t modules = file.Reserve(4 + 108 * data.Modules.size());
  Put32(file.Bytes(), modules, static_cast<uint32_t>(data.Modules.size()));
  streams.push_back({kModuleListStream, {modules, 4 + 108 * data.Modules.size()}});
  for (size_t i = 0; i < data.Modules.size(); ++i) {
    const TMinidumpModule& m = data.Modules[i];
    const size_t name = file.AppendString(m.Name);
    std::string& b = file.Bytes();
    const size_t at = modules + 4 + 108 * i;
    Put64(b, at, m.Base);
    Put32(b, at + 8, m.Size);
    Put32(b, at + 12, m.CheckSum);
    Put32(b, at + 16, m.TimeStamp);
    Put32(b, at + 20, Rva(name));
    if (m.FixedFileInfo.size() == 52) std::memcpy(&b[at + 24], m.FixedFileInfo.data(), 52);
  }

  // The exception.
  if (data.HasException) {
    const TMinidumpException& e = data.Exception;
    const size_t context = file.Append(e.Context);
    const size_t at = file.Reserve(168);
    std::string& b = file.Bytes();
    Put32(b, at, e.ThreadId);
    Put32(b, at + 8, e.Code);
    Put32(b, at + 12, e.Flags);
    Put64(b, at + 24, e.Address);
    const size_t parameters = std::min<size_t>(e.Parameters.size(), 15);
    Put32(b, at + 32, static_cast<uint32_t>(parameters));
    for (size_t i = 0; i < parameters; ++i) Put64(b, at + 40 + 8 * i, e.Parameters[i]);
    Put32(b, at + 160, static_cast<uint32_t>(e.Context.size()));
    Put32(b, at + 164, Rva(context));
    streams.push_back({kExceptionStream, {at, 168}});
  }

  // Memory: the stacks.
  const size_t list = file.Reserve(4 + 16 * memory.size());
  Put32(file.Bytes(), list, static_cast<uint32_t>(memory.size()));
  for (size_t i = 0; i < memory.size(); ++i) {
    Put64(file.Bytes(), list + 4 + 16 * i, memory[i].first);
    Put32(file.Bytes(), list + 12 + 16 * i, static_cast<uint32_t>(memory[i].second.second));
    Put32(file.Bytes(), list + 16 + 16 * i, Rva(memory[i].second.first));
  }
  streams.push_back({kMemoryListStream, {list, 4 + 16 * memory.size()}});

  // All memory: the list last, its data right after it, outside these bytes.
  if (full) {
    const size_t at = file.Reserve(16 + 16 * data.FullMemory.size());
    std::string& b = file.Bytes();
    Put64(b, at, data.FullMemory.size());
    Put64(b, at + 8, b.size());
    for (size_t i = 0; i < data.FullMemory.size(); ++i) {
      Put64(b, at + 16 + 16 * i, data.FullMemory[i].first);
      Put64(b, at + 24 + 16 * i, data.FullMemory[i].second);
    }
    streams.push_back({kMemory64ListStream, {at, 16 + 16 * data.FullMemory.size()}});
  }

  std::string& b = file.Bytes();
  Put32(b, header, kSignature);
  Put32(b, header + 4, kVersion);
  Put32(b, header + 8, static_cast<uint32_t>(streams.size()));
  Put32(b, header + 12, Rva(directory));
  Put32(b, header + 20, data.TimeStamp);
  Put64(b, header + 24, full ? kWithFullMemory : 0);
  for (size_t i = 0; i < streams.size(); ++i) {
    Put32(b, directory + 12 * i, streams[i].first);
    Put32(b, directory + 12 * i + 4, static_cast<uint32_t>(streams[i].second.second));
    Put32(b, directory + 12 * i + 8, Rva(streams[i].second.first));
  }
  return std::move(b);
}

namespace {

template <typename T>
bool ReadValue(const TMemoryRead& read, uint64_t address, T& value) {
  return read(address, &value, sizeof value);
}

// The first entry of a resource directory level: the RVA (relative to the resource section) of
// what it points to, and whether that is another directory. With id >= 0 only that id is taken.
bool FirstEntry(const TMemoryRead& read, uint64_t directory, int32_t id, uint32_t& target, bool& subdirectory) {
  uint16_t named = 0, ids = 0;
  if (!ReadValue(read, directory + 12, named) || !ReadValue(read, directory + 14, ids)) return false;
  for (uint32_t i = 0; i < uint32_t{named} + ids && i < 4096; ++i) {
    uint32_t name = 0, offset = 0;
    if (!ReadValue(read, directory + 16 + 8 * i, name) || !ReadValue(read, directory + 20 + 8 * i, offset)) return false;
    if (id >= 0 && ((name & 0x80000000u) || name != static_cast<uint32_t>(id))) continue;
    target = offset & 0x7FFFFFFFu;
    subdirectory = (offset & 0x80000000u) != 0;
    return true;
  }
  return false;
}

}  // namespace

bool ReadMinidumpModule(uint64_t base, const TMemoryRead& read, TMinidumpModule& module) {
  uint32_t peOffset = 0, signature = 0;
  uint16_t magic = 0;
  if (!ReadValue(read, base + 60, peOffset) || !ReadValue(read, base + peOffset, signature) ||
      signature != 0x00004550)
    return false;
  const uint64_t fileHeader = base + peOffset + 4;
  const uint64_t optional = fileHeader + 20;
  if (!ReadValue(read, fileHeader + 4, module.TimeStamp) || !ReadValue(read, optional, magic)) return false;
  const bool wide = magic == 0x20B;
  if (!wide && magic != 0x10B) return false;
  if (!ReadValue(read, optional + 56, module.Size) || !ReadValue(read, optional + 64, module.CheckSum)) return false;
  module.Base = base;
  module.FixedFileInfo.clear();
  // The version resource: type 16, its first name, its first language.
  uint32_t resources = 0, count = 0;
  const uint64_t directories = optional + (wide ? 112 : 96);
  if (!ReadValue(read, optional + (wide ? 108 : 92), count) || count < 3 ||
      !ReadValue(read, directories + 2 * 8, resources) || resources == 0)
    return true;
  const uint64_t root = base + resources;
  uint32_t at = 0;
  bool sub = false;
  if (!FirstEntry(read, root, 16, at, sub) || !sub) return true;
  if (!FirstEntry(read, root + at, -1, at, sub) || !sub) return true;
  if (!FirstEntry(read, root + at, -1, at, sub) || sub) return true;
  uint32_t dataRva = 0, dataSize = 0;
  if (!ReadValue(read, root + at, dataRva) || !ReadValue(read, root + at + 4, dataSize)) return true;
  // VS_VERSIONINFO: three words, the key "VS_VERSION_INFO", padding, then the fixed part, which
  // begins with its signature.
  char head[128];
  const size_t size = std::min<size_t>(dataSize, sizeof head);
  if (size < 40 + 52 || !read(base + dataRva, head, size)) return true;
  for (size_t i = 6; i + 52 <= size; i += 2) {
    uint32_t word;
    std::memcpy(&word, head + i, 4);
    if (word == 0xFEEF04BDu) {
      module.FixedFileInfo.assign(head + i, 52);
      break;
    }
  }
  return true;
}

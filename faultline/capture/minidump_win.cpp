#include "faultline/capture/minidump.h"

#include <cpuid.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <ctime>

#include "faultline/lists/memory_reader.h"
#include "faultline/report/minidump_format.h"

namespace {

// The most of one thread's stack a dump keeps (from its stack pointer up).
constexpr size_t kStackCap = 1024 * 1024;

struct TThreadBasicInformation {
  LONG ExitStatus;
  void* TebBaseAddress;
  void* UniqueProcess;
  void* UniqueThread;
  ULONG_PTR AffinityMask;
  LONG Priority;
  LONG BasePriority;
};
using TQueryThread = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
using TGetVersion = LONG(WINAPI*)(OSVERSIONINFOEXW*);
using TQuerySystem = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
std::atomic<TQueryThread> queryThread{nullptr};
std::atomic<TQuerySystem> querySystem{nullptr};
std::atomic<TGetVersion> getVersion{nullptr};

std::string SystemError(const std::string& what, DWORD code) {
  return what + " failed (system error " + std::to_string(code) + ").";
}

uintptr_t StackPointerOf(const CONTEXT& c) {
#ifdef _WIN64
  return c.Rsp;
#else
  return c.Esp;
#endif
}

std::string Bytes(const CONTEXT& c) { return std::string(reinterpret_cast<const char*>(&c), sizeof c); }

TMinidumpSystem SystemFacts() {
  TMinidumpSystem s;
  SYSTEM_INFO info;
  GetNativeSystemInfo(&info);
  s.Architecture = info.wProcessorArchitecture;
  s.Level = info.wProcessorLevel;
  s.Revision = info.wProcessorRevision;
  s.Processors = static_cast<uint8_t>(std::min<DWORD>(info.dwNumberOfProcessors, 255));
  OSVERSIONINFOEXW version;
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  if (TGetVersion get = getVersion.load(); get && get(&version) == 0) {
    s.Major = version.dwMajorVersion;
    s.Minor = version.dwMinorVersion;
    s.Build = version.dwBuildNumber;
    s.PlatformId = version.dwPlatformId;
    s.ServicePack.assign(reinterpret_cast<const char16_t*>(version.szCSDVersion));
    s.SuiteMask = version.wSuiteMask;
    s.ProductType = version.wProductType;
  }
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(0, &a, &b, &c, &d)) {
    s.CpuVendor[0] = b;
    s.CpuVendor[1] = d;
    s.CpuVendor[2] = c;
  }
  if (__get_cpuid(1, &a, &b, &c, &d)) {
    s.CpuVersion = a;
    s.CpuFeatures = d;
  }
  return s;
}

// A buffer outside the heap: filled while a thread is suspended, when no allocation may happen
// (the suspended thread may own the heap's lock).
class TPageBuffer {
 public:
  explicit TPageBuffer(size_t size)
      : data_(static_cast<char*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))), size_(size) {}
  ~TPageBuffer() {
    if (data_) VirtualFree(data_, 0, MEM_RELEASE);
  }
  TPageBuffer(const TPageBuffer&) = delete;
  TPageBuffer& operator=(const TPageBuffer&) = delete;
  char* Data() const { return data_; }
  size_t Size() const { return size_; }

 private:
  char* data_;
  size_t size_;
};

// One thread's context and stack. The thread is suspended only while they are copied.
bool ReadThread(DWORD id, HANDLE handle, const CONTEXT* exceptionContext, TPageBuffer& buffer,
                TProcessMemoryReader& memory, TMinidumpThread& out) {
  CONTEXT context;
  std::memset(&context, 0, sizeof context);
  context.ContextFlags = CONTEXT_ALL;
  if (SuspendThread(handle) == static_cast<DWORD>(-1)) return false;
  const bool haveContext = GetThreadContext(handle, &context) != 0;
  uintptr_t stackPointer = haveContext ? StackPointerOf(context) : 0;
  // The exception's frames lie above where its thread waits now; a fault's context may point
  // lower still (the fault happened deeper than the wait): the stack from the lower of the two.
  if (exceptionContext && StackPointerOf(*exceptionContext) != 0)
    stackPointer = stackPointer ? std::min(stackPointer, StackPointerOf(*exceptionContext)) : StackPointerOf(*exceptionContext);
  uint64_t teb = 0, stackBase = 0;
  size_t copied = 0;
  if (TQueryThread query = queryThread.load()) {
    TThreadBasicInformation basic;
    std::memset(&basic, 0, sizeof basic);
    if (query(handle, 0, &basic, sizeof basic, nullptr) == 0) {
      teb = reinterpret_cast<uintptr_t>(basic.TebBaseAddress);
      uintptr_t base = 0;
      // NT_TIB: the exception list, then the stack's base (its highest address).
      if (teb && memory.Read(teb + sizeof(void*), &base, sizeof base)) stackBase = base;
    }
  }
  if (stackPointer && stackBase > stackPointer) {
    const size_t want = std::min<uint64_t>(stackBase - stackPointer, std::min(kStackCap, buffer.Size()));
    // At once, else page by page up to the first page that cannot be read.
    if (memory.Read(stackPointer, buffer.Data(), want)) {
      copied = want;
    } else {
      while (copied < want) {
        const size_t chunk = std::min<size_t>(want - copied, 4096 - ((stackPointer + copied) & 4095));
        if (!memory.Read(stackPointer + copied, buffer.Data() + copied, chunk)) break;
        copied += chunk;
      }
    }
  }
  ResumeThread(handle);
  if (!haveContext && !exceptionContext) return false;
  out.Id = id;
  out.Priority = GetThreadPriority(handle);
  out.Teb = teb;
  out.StackStart = stackPointer;
  out.Stack.assign(buffer.Data(), copied);
  out.Context = exceptionContext ? Bytes(*exceptionContext) : Bytes(context);
  return true;
}

// The ids of this process's threads, from the system's list of processes (read into buffer).
bool ProcessThreadIds(const TPageBuffer& stackBuffer, std::vector<DWORD>& ids) {
  TQuerySystem query = querySystem.load();
  if (!query) return false;
  // A machine with many processes needs more than the stack buffer: a larger one, as the system
  // says (it may grow again meanwhile: a few tries).
  std::unique_ptr<TPageBuffer> larger;
  const TPageBuffer* list = &stackBuffer;
  for (int attempt = 0;; ++attempt) {
    ULONG length = 0;
    const LONG status = query(5 /* SystemProcessInformation */, list->Data(), static_cast<ULONG>(list->Size()), &length);
    if (status == 0) break;
    if (static_cast<ULONG>(status) != 0xC0000004u /* length mismatch */ || attempt == 3) return false;
    larger = std::make_unique<TPageBuffer>(std::max<size_t>(length, list->Size()) * 2);
    if (!larger->Data()) return false;
    list = larger.get();
  }
  const TPageBuffer& buffer = *list;
  std::vector<DWORD> found;
  for (size_t at = 0; at + sizeof(SYSTEM_PROCESS_INFORMATION) <= buffer.Size();) {
    const auto* process = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.Data() + at);
    if (static_cast<DWORD>(reinterpret_cast<uintptr_t>(process->UniqueProcessId)) == GetCurrentProcessId()) {
      const auto* thread = reinterpret_cast<const SYSTEM_THREAD_INFORMATION*>(process + 1);
      const size_t room = (buffer.Size() - at - sizeof *process) / sizeof *thread;
      for (ULONG i = 0; i < process->NumberOfThreads && i < room; ++i)
        found.push_back(static_cast<DWORD>(reinterpret_cast<uintptr_t>(thread[i].ClientId.UniqueThread)));
      ids = std::move(found);
      return true;
    }
    if (process->NextEntryOffset == 0) break;
    at += process->NextEntryOffset;
  }
  return false;
}

// The committed, readable memory of the process, but for the given buffer (the dump's own).
std::vector<std::pair<uint64_t, uint64_t>> ReadableMemory(const void* skip) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  MEMORY_BASIC_INFORMATION m;
  const char* at = nullptr;
  while (VirtualQuery(at, &m, sizeof m) == sizeof m) {
    const bool readable = m.State == MEM_COMMIT && !(m.Protect & (PAGE_NOACCESS | PAGE_GUARD)) && m.Protect != 0;
    if (readable && m.AllocationBase != skip) {
      const uint64_t start = reinterpret_cast<uintptr_t>(m.BaseAddress);
      if (!ranges.empty() && ranges.back().first + ranges.back().second == start)
        ranges.back().second += m.RegionSize;
      else
        ranges.push_back({start, m.RegionSize});
    }
    const char* next = static_cast<const char*>(m.BaseAddress) + m.RegionSize;
    if (next <= at) break;
    at = next;
  }
  return ranges;
}

bool WriteAll(HANDLE file, const char* data, size_t size) {
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1 << 20));
    if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace

void PrepareMinidumps() {
  if (queryThread.load()) return;
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (!ntdll) return;
  getVersion.store(reinterpret_cast<TGetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion"))));
  querySystem.store(
      reinterpret_cast<TQuerySystem>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation"))));
  queryThread.store(
      reinterpret_cast<TQueryThread>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationThread"))));
}

bool WriteMinidump(const TMinidumpRequest& request, std::string& error) {
  if (!queryThread.load()) {
    error = "Minidump not written: the system functions it needs were not found when reporting started.";
    return false;
  }
  TPageBuffer buffer(kStackCap);
  if (!buffer.Data()) {
    error = SystemError("Minidump not written: reserving its buffer", GetLastError());
    return false;
  }
  TProcessMemoryReader memory;
  TMinidumpData data;
  data.TimeStamp = static_cast<uint32_t>(std::time(nullptr));
  data.ProcessId = GetCurrentProcessId();
  data.System = SystemFacts();

  // Every thread of the process but this one (the system's list: threads the program did not
  // make, its libraries' and ours, are in it too; read into the buffer, outside the heap); the
  // exception's thread carries the exception's context. A handle the caller has is used, the
  // others are opened for the dump.
  std::vector<std::pair<DWORD, HANDLE>> threads;
  std::vector<HANDLE> opened;
  auto add = [&](DWORD id) {
    for (const auto& [known, handle] : request.Threads)
      if (known == id) return threads.push_back({id, handle});
    if (HANDLE h = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, id)) {
      opened.push_back(h);
      threads.push_back({id, h});
    }
  };
  add(request.ThreadId);
  std::vector<DWORD> ids;
  if (!ProcessThreadIds(buffer, ids)) {
    for (const auto& t : request.Threads) ids.push_back(t.first);
  }
  for (DWORD id : ids)
    if (id != request.ThreadId) add(id);
  data.Threads.reserve(threads.size());
  for (const auto& [id, handle] : threads) {
    if (id == GetCurrentThreadId() || !handle) continue;
    const bool exceptionThread = id == request.ThreadId;
    TMinidumpThread t;
    if (!ReadThread(id, handle, exceptionThread ? request.Context : nullptr, buffer, memory, t)) continue;
    if (exceptionThread) {
      data.HasException = true;
      data.Exception.ThreadId = id;
      data.Exception.Context = t.Context;
    }
    data.Threads.push_back(std::move(t));
  }
  for (HANDLE h : opened) CloseHandle(h);
  // Its thread gone or not to be read: the exception with the context it came with, if any.
  if (!data.HasException && request.Context) {
    data.HasException = true;
    data.Exception.ThreadId = request.ThreadId;
    data.Exception.Context = Bytes(*request.Context);
  }
  if (request.Record) {
    data.Exception.Code = request.Record->ExceptionCode;
    data.Exception.Flags = request.Record->ExceptionFlags;
    data.Exception.Address = reinterpret_cast<uintptr_t>(request.Record->ExceptionAddress);
    for (DWORD i = 0; i < request.Record->NumberParameters && i < EXCEPTION_MAXIMUM_PARAMETERS; ++i)
      data.Exception.Parameters.push_back(request.Record->ExceptionInformation[i]);
  } else {
    data.Exception.Code = request.Code;
    data.Exception.Address = request.Address;
  }

  // Modules, from their images in memory.
  const TMemoryRead read = memory.Function();
  for (const auto& [base, path] : request.Modules) {
    TMinidumpModule m;
    if (!ReadMinidumpModule(base, read, m)) continue;
    const int n = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(std::max(n, 0)), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(), n);
    m.Name.assign(wide.begin(), wide.end());
    data.Modules.push_back(std::move(m));
  }

  if (request.Mode >= 2) data.FullMemory = ReadableMemory(buffer.Data());
  const std::string head = MinidumpBytes(data);

  HANDLE file = CreateFileA(request.Path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = SystemError("Minidump not written: creating \"" + request.Path + "\"", GetLastError());
    return false;
  }
  bool written = WriteAll(file, head.data(), head.size());
  TProcessMemoryReader fresh;  // the map as it is now: memory may have gone since it was listed
  // All memory, through the buffer: memory that changed or went away since it was listed is
  // written as zeros, so that every range keeps its place.
  for (const auto& [start, size] : data.FullMemory) {
    for (uint64_t done = 0; written && done < size;) {
      const size_t chunk = static_cast<size_t>(std::min<uint64_t>(size - done, buffer.Size()));
      if (!fresh.Read(start + done, buffer.Data(), chunk)) std::memset(buffer.Data(), 0, chunk);
      written = WriteAll(file, buffer.Data(), chunk);
      done += chunk;
    }
  }
  const DWORD code = written ? 0 : GetLastError();
  CloseHandle(file);
  if (!written) {
    DeleteFileA(request.Path.c_str());
    error = SystemError("Minidump not written: writing \"" + request.Path + "\"", code);
    return false;
  }
  return true;
}

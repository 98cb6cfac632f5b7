// The minidump layout as an independent reader sees it (tests/faultlab/minidump_reader.py, written
// from the format's documentation), and as Wine's winedump sees it where that is installed; and
// the facts of a module read from a real PE image.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "faultline/report/minidump_format.h"
#include "tests/unit/python_judge.h"

namespace {

// A CONTEXT-sized block (x64: 1232 bytes) with the stack and instruction pointers where the
// x64 layout has them.
std::string Context64(uint64_t sp, uint64_t ip) {
  std::string c(1232, '\0');
  std::memcpy(&c[0x98], &sp, 8);
  std::memcpy(&c[0xF8], &ip, 8);
  return c;
}

TMinidumpData SampleDump() {
  TMinidumpData d;
  d.TimeStamp = 1765454400;
  d.ProcessId = 4242;
  d.System.Architecture = 9;
  d.System.Processors = 2;
  d.System.Major = 6;
  d.System.Minor = 1;
  d.System.Build = 7601;
  d.System.ServicePack = u"Service Pack 1";
  TMinidumpThread main;
  main.Id = 36;
  main.StackStart = 0x21F000;
  main.Stack = std::string(0x1000, 'S');
  main.Context = Context64(0x21F010, 0x140001000);
  TMinidumpThread worker;
  worker.Id = 276;
  worker.StackStart = 0x3F3F000;
  worker.Stack = std::string(0x800, 'W');
  worker.Context = Context64(0x3F3F100, 0x140001652);
  d.Threads = {main, worker};
  TMinidumpModule exe;
  exe.Base = 0x140000000;
  exe.Size = 0x200000;
  exe.Name = u"Z:\\tmp\\fl\\app.exe";
  TMinidumpModule kernel;
  kernel.Base = 0x7B000000;
  kernel.Size = 0x100000;
  kernel.Name = u"C:\\windows\\system32\\kernel32.dll";
  kernel.FixedFileInfo = std::string(52, '\0');
  const uint32_t signature = 0xFEEF04BD;
  std::memcpy(&kernel.FixedFileInfo[0], &signature, 4);
  d.Modules = {exe, kernel};
  d.HasException = true;
  d.Exception.ThreadId = 276;
  d.Exception.Code = 0xC0000005;
  d.Exception.Address = 0x140001652;
  d.Exception.Parameters = {1, 0};
  d.Exception.Context = worker.Context;
  return d;
}

const char* const kJudge = R"(
import sys
sys.path.insert(0, sys.argv[2])
from minidump_reader import Dump
d = Dump(sys.argv[1])
print('threads', sorted(d.threads))
print('modules', d.modules, d.versioned)
tid, code, address, context = d.exception
print('exception %d %08X %X' % (tid, code, address))
print('registers %X %X' % d.registers(context))
start, size, _ = d.threads[276]
print('stack %X %X' % (start, size))
print('flags', d.flags, 'wide', d.wide, 'memory', [(hex(s), n) for s, n, _ in d.memory])
if d.memory:
    print('bytes', d.read(0x140000000, 2), d.read(0x140000000 + 0x1000, 1))
)";

std::string Judge(const std::string& bytes) {
  python_judge::TempDir dir;
  const std::string dump = dir.Write("x.dmp", bytes);
  const std::string script = dir.Write("judge.py", kJudge);
  const std::string command = "/usr/bin/python3 " + script + " " + dump + " " TARN_SOURCE_DIR "/tests/faultlab";
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << out;
  }
  return out;
}

TEST(MinidumpFormat, AnIndependentReaderFindsThreadsModulesAndTheException) {
  const std::string out = Judge(MinidumpBytes(SampleDump()));
  EXPECT_NE(out.find("threads [36, 276]"), std::string::npos) << out;
  EXPECT_NE(out.find("modules ['Z:\\\\tmp\\\\fl\\\\app.exe', 'C:\\\\windows\\\\system32\\\\kernel32.dll'] [False, True]"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("exception 276 C0000005 140001652"), std::string::npos) << out;
  EXPECT_NE(out.find("registers 3F3F100 140001652"), std::string::npos) << out;
  EXPECT_NE(out.find("stack 3F3F000 800"), std::string::npos) << out;
  EXPECT_NE(out.find("flags 0 wide True memory []"), std::string::npos) << out;
}

// With all memory the ranges follow the bytes MinidumpBytes returns, in order; the reader finds
// a range's bytes at their address.
TEST(MinidumpFormat, FullMemoryRangesFollowTheHeadInOrder) {
  TMinidumpData d = SampleDump();
  d.FullMemory = {{0x140000000, 0x1000}, {0x140001000, 0x10}};
  std::string bytes = MinidumpBytes(d);
  bytes += "MZ" + std::string(0x1000 - 2, '\0');
  bytes += std::string(0x10, '\xC3');
  const std::string out = Judge(bytes);
  EXPECT_NE(out.find("flags 2"), std::string::npos) << out;
  EXPECT_NE(out.find("memory [('0x140000000', 4096), ('0x140001000', 16)]"), std::string::npos) << out;
  EXPECT_NE(out.find("bytes b'MZ' b'\\xc3'"), std::string::npos) << out;
}

// Wine's reader, where it is installed (setup installs it): the same exception and threads.
TEST(MinidumpFormat, WinedumpReadsTheSameException) {
  if (std::system("command -v winedump >/dev/null 2>&1") != 0) GTEST_SKIP() << "winedump is not installed";
  python_judge::TempDir dir;
  const std::string dump = dir.Write("x.dmp", MinidumpBytes(SampleDump()));
  std::string out;
  if (FILE* p = popen(("winedump dump " + dump + " 2>&1").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  for (const char* want : {"ThreadId: 0x114", "ExceptionCode: 0xc0000005", "ExceptionAddress: 0x140001652",
                           "ThreadId: 36", "ThreadId: 276", "kernel32.dll", "Service Pack 1"})
    EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out.substr(0, 3000);
}

// A module's size, time stamp and version come from its headers and resources in memory: here from
// a real PE file of the MinGW runtime read as if it were mapped (its headers are at the same
// offsets in the file; the resource tree is found through the section table, so a file without
// the mapping gives the headers only).
TEST(MinidumpFormat, ModuleFactsFromAnImagesHeaders) {
  std::ifstream in("/usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll", std::ios::binary);
  if (!in) in.open("/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libgcc_s_seh-1.dll", std::ios::binary);
  if (!in) GTEST_SKIP() << "no MinGW DLL to read";
  std::stringstream s;
  s << in.rdbuf();
  const std::string image = s.str();
  const TMemoryRead read = [&](uint64_t address, void* buffer, size_t size) {
    if (address < 0x10000000 || address - 0x10000000 + size > image.size()) return false;
    std::memcpy(buffer, image.data() + (address - 0x10000000), size);
    return true;
  };
  TMinidumpModule m;
  ASSERT_TRUE(ReadMinidumpModule(0x10000000, read, m));
  EXPECT_EQ(m.Base, 0x10000000u);
  EXPECT_GT(m.Size, 0u);
  uint32_t peOffset = 0, stamp = 0;
  std::memcpy(&peOffset, image.data() + 60, 4);
  std::memcpy(&stamp, image.data() + peOffset + 8, 4);
  EXPECT_EQ(m.TimeStamp, stamp);
  // Not an image: refused.
  TMinidumpModule none;
  EXPECT_FALSE(ReadMinidumpModule(0x10000000 + 64, read, none));
}

}  // namespace

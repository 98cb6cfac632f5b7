// Report packaging on real Windows files: the attachment list and the archive through the Win32
// file access, with a file held open by a writer, a GBK file name, UTC file times and time-stamped
// display names.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "faultline/delivery/attachments.h"
#include "faultline/codecs/gzip.h"

namespace {

class TTempFolder {
 public:
  TTempFolder() {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "tarn-packaging-" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~TTempFolder() {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path_ + "*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        DeleteFileA((path_ + data.cFileName).c_str());
      } while (FindNextFileA(find, &data));
      FindClose(find);
    }
    RemoveDirectoryA(path_.c_str());
  }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

void Write(const std::string& path, const std::string& bytes) { WinFileAccess().WriteAll(path, bytes); }

void SetUtcTime(const std::string& path, WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
  SYSTEMTIME st = {y, mo, 0, d, h, mi, s, 0};
  FILETIME ft;
  SystemTimeToFileTime(&st, &ft);
  HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  SetFileTime(file, nullptr, nullptr, &ft);
  CloseHandle(file);
}

struct TTarEntry {
  std::string Name, Data;
  uint64_t Time;
};

std::vector<TTarEntry> ReadTar(const std::string& tar) {
  std::vector<TTarEntry> entries;
  size_t pos = 0;
  while (pos + 512 <= tar.size() && tar[pos] != '\0') {
    TTarEntry e;
    e.Name = std::string(tar.c_str() + pos);
    size_t size = std::strtoul(tar.substr(pos + 124, 12).c_str(), nullptr, 8);
    e.Time = std::strtoull(tar.substr(pos + 136, 12).c_str(), nullptr, 8);
    e.Data = tar.substr(pos + 512, size);
    entries.push_back(e);
    pos += 512 + (size + 511) / 512 * 512;
  }
  EXPECT_EQ(tar.size(), pos + 512);  // one closing zero block
  return entries;
}

TEST(Packaging, ArchiveOfRealFiles) {
  TTempFolder dir;
  const std::string report(600, 'r');
  Write(dir / "prog.flf", report);
  Write(dir / "Screenshot.png", "");
  Write(dir / "附件.txt", "extra");
  SetUtcTime(dir / "prog.flf", 2024, 3, 5, 14, 7, 9);
  CreateDirectoryA((dir / "folder.txt").c_str(), nullptr);
  EXPECT_EQ(WinFileAccess().LastWriteTime(dir / "folder.txt"), 0);
  EXPECT_EQ(WinFileAccess().LastWriteTime(dir / "missing.txt"), 0);
  EXPECT_FALSE(WinFileAccess().Exists(dir / "folder.txt"));

  // The report file is still open for writing elsewhere: packing shares it.
  HANDLE writer = CreateFileA((dir / "prog.flf").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);

  TAttachmentSources src;
  src.ExtraFiles = (dir / "附件.txt") + " ; " + (dir / "missing.txt") + ";" + (dir / "folder.txt");
  src.ReportCopyPath = dir / "prog.flf";
  src.ScreenshotPath = dir / "Screenshot.png";
  src.AttachScreenshot = true;
  src.ArchivePath = dir / "CompressFiles.tgz";
  src.SendFlags = SendScreenshot | SendCompressed | SendTimeStampNames;
  src.ExceptionTime = 45356.0 + (14 * 3600 + 7 * 60 + 9) / 86400.0;  // 2024-03-05 14:07:09
  std::vector<std::string> list;
  BuildAttachmentList(list, src, false, nullptr, WinFileAccess());
  CloseHandle(writer);
  ASSERT_EQ(list, std::vector<std::string>{dir / "CompressFiles.tgz"});

  std::string gz = WinFileAccess().ReadAll(dir / "CompressFiles.tgz");
  ASSERT_GT(gz.size(), 10u + 18u);
  EXPECT_EQ(gz.substr(10, 18), std::string("CompressFiles.tar\0", 18));
  auto entries = ReadTar(GzipDecompress(gz));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].Name, "附件_20240305140709.txt");
  EXPECT_EQ(entries[0].Data, "extra");
  EXPECT_EQ(entries[1].Name, "prog_20240305140709.flf");
  EXPECT_EQ(entries[1].Data, report);
  EXPECT_EQ(entries[1].Time, 1709647629u);  // the file's UTC time, no zone shift
  EXPECT_EQ(entries[2].Name, "Screenshot_20240305140709.png");
  EXPECT_EQ(entries[2].Data, "");
}

}  // namespace

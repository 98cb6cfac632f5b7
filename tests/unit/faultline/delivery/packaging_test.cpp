// The report archive read back by GNU tar and gzip, gzip data made by the real gzip read by us,
// the exact header rules, display names and the attachment-list rules.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "faultline/delivery/attachments.h"
#include "tests/unit/python_judge.h"
#include "faultline/codecs/gzip.h"
#include "faultline/delivery/tgz_writer.h"

namespace fs = std::filesystem;

namespace {

using python_judge::ReadFile;
using python_judge::WriteFile;

// A command whose success the test expects; returns what it printed.
std::string Shell(const std::string& command) {
  int status = 0;
  std::string out = python_judge::Shell(command, &status);
  EXPECT_EQ(status, 0) << command << "\n" << out;
  return out;
}

std::string Bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = char('a' + rng() % 26);
  return s;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/tarn-codecs-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

TEST(TarHeaderFields, OctalFormsAndChecksum) {
  char f8[8], f12[12];
  TarOctalField(f8, 8, 0);
  EXPECT_EQ(std::string(f8, 8), std::string("     0 \0", 8));
  TarOctalField(f12, 12, 1234);
  EXPECT_EQ(std::string(f12, 12), "       2322 ");
  TarOctalField(f12, 12, 0);
  EXPECT_EQ(std::string(f12, 12), "          0 ");
  TarOctalField(f8, 8, 01234567);  // only 18 bits fit: the top digit is dropped
  EXPECT_EQ(std::string(f8, 8), std::string("234567 \0", 8));

  std::string h = TarHeader({"a.txt", 0, UnixSecondsToDateTime(1700000000)});
  ASSERT_EQ(h.size(), 512u);
  EXPECT_EQ(h.substr(124, 12), "          0 ");
  EXPECT_EQ(h.substr(136, 12), "14524770400 ");  // 1700000000 seconds, keeping its second
  EXPECT_EQ(h[156], '0');
  EXPECT_EQ(h.substr(257, 9), std::string("ustar   \0", 9));
  unsigned sum = 0;
  for (size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(h[i]);
  EXPECT_EQ(std::strtoul(h.substr(148, 6).c_str(), nullptr, 8), sum);
  EXPECT_EQ(h.substr(154, 2), std::string(" \0", 2));
}

TEST(TarHeaderFields, TimesOutsideTheFieldAreClamped) {
  EXPECT_EQ(DateTimeToUnixSeconds(0), 0);             // 1899 is before 1970
  EXPECT_EQ(DateTimeToUnixSeconds(0.0 / 0.0), 0);     // NaN
  EXPECT_EQ(DateTimeToUnixSeconds(1e9), 8589934591);  // beyond 11 octal digits
  EXPECT_EQ(TarHeader({"x", 0, 1e9}).substr(136, 12), "77777777777 ");
}

// The archive of files of 0, 1, 511, 512, 513 and 1500 bytes, read back by GNU tar and gzip.
TEST(Archive, GnuTarAndGzipReadItBack) {
  TempDir dir;
  TStdFileAccess files;
  const size_t sizes[] = {0, 1, 511, 512, 513, 1500};
  std::vector<std::string> list;
  std::map<std::string, std::string> contents;
  for (size_t n : sizes) {
    std::string name = "file" + std::to_string(n) + ".dat";
    contents[name] = Bytes(n, unsigned(n) + 1);
    WriteFile(dir / name, contents[name]);
    struct utimbuf times = {1600000000, 1600000000 + time_t(n)};
    utime((dir / name).c_str(), &times);
    list.push_back(dir / name);
  }
  std::string archive = dir / kArchiveFileName;
  WriteFile(archive, "stale archive");  // replaced, not appended to
  BuildArchive(archive, list, 0, 0, files);

  // gzip accepts it (CRC and length trailer) and stores the ".tar" name.
  Shell("gzip -t '" + archive + "'");
  EXPECT_NE(Shell("gzip -lN < '" + archive + "'").find("CompressFiles.tar"), std::string::npos);

  // tar lists every entry with its size and time.
  std::string listing = Shell("TZ=UTC tar --warning=no-alone-zero-block -tvzf '" + archive + "' --full-time");
  for (size_t n : sizes) {
    std::string name = "file" + std::to_string(n) + ".dat";
    std::ostringstream expect;
    expect << " " << n << " ";
    size_t at = listing.find(name);
    ASSERT_NE(at, std::string::npos) << listing;
    std::string line = listing.substr(listing.rfind('\n', at) + 1, at - listing.rfind('\n', at) - 1);
    EXPECT_NE(line.find(expect.str()), std::string::npos) << line;
  }
  // tar extracts the exact contents and times.
  fs::create_directory(dir.Path() / "out");
  Shell("tar --warning=no-alone-zero-block -xzf '" + archive + "' -C '" + dir / "out" + "'");
  for (size_t n : sizes) {
    std::string name = "file" + std::to_string(n) + ".dat";
    EXPECT_EQ(ReadFile(dir.Path() / "out" / name), contents[name]) << name;
    struct stat st;
    ASSERT_EQ(stat((dir.Path() / "out" / name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, time_t(1600000000 + n)) << name;
  }

  // The block layout: header + whole data blocks per entry, and exactly one closing zero block.
  std::string tar = GzipDecompress(ReadFile(archive));
  size_t expected = 512;  // closing block
  for (size_t n : sizes) expected += 512 + (n + 511) / 512 * 512;
  ASSERT_EQ(tar.size(), expected);
  EXPECT_EQ(tar.substr(tar.size() - 512), std::string(512, '\0'));
  EXPECT_EQ(tar.substr(124, 12), "          0 ");  // the 0-byte file: no data block follows
  EXPECT_EQ(tar.substr(512, 9), "file1.dat");
}

TEST(Archive, TimeStampedNamesAndEmptyListWritesNothing) {
  TempDir dir;
  TStdFileAccess files;
  WriteFile(dir / "prog.flf", "report");
  WriteFile(dir / "Screenshot.png", "png");
  std::string archive = dir / "Out.tgz";
  // 2024-03-05 14:07:09 as a date-time value
  double when = 45356.0 + (14 * 3600 + 7 * 60 + 9) / 86400.0;
  BuildArchive(archive, {dir / "prog.flf", dir / "Screenshot.png"}, SendTimeStampNames, when, files);
  std::string listing = Shell("tar --warning=no-alone-zero-block -tzf '" + archive + "'");
  EXPECT_EQ(listing, "prog_20240305140709.flf\nScreenshot_20240305140709.png\n");
  EXPECT_NE(Shell("gzip -lN < '" + archive + "'").find("Out.tar"), std::string::npos);

  std::string none = dir / "None.tgz";
  BuildArchive(none, {}, 0, 0, files);
  EXPECT_FALSE(fs::exists(none));
}

TEST(Archive, FileVanishedBeforePackingFails) {
  TempDir dir;
  TStdFileAccess files;
  EXPECT_THROW(BuildArchive(dir / "a.tgz", {dir / "missing.txt"}, 0, 0, files), EFaultFileError);
}

// gzip read of data made by the real gzip, with and without the stored name.
TEST(GzipRead, ReadsRealGzipOutput) {
  TempDir dir;
  std::string data = Bytes(70000, 7) + std::string(3000, '\0');
  WriteFile(dir / "page.html", data);
  for (const char* flags : {"-9", "-1 -n"}) {
    Shell(std::string("gzip -k -f ") + flags + " '" + dir / "page.html" + "'");
    EXPECT_EQ(GzipDecompress(ReadFile(dir / "page.html.gz")), data) << flags;
  }
  WriteFile(dir / "empty", "");
  Shell("gzip -k -f '" + dir / "empty" + "'");
  EXPECT_EQ(GzipDecompress(ReadFile(dir / "empty.gz")), "");
}

TEST(GzipRead, DamagedInput) {
  std::string good = GzipCompress(Bytes(5000, 3), "x.tgz");
  // Truncated deflate data: what was inflated before the cut is the result, no exception.
  std::string cut = good.substr(0, good.size() / 2) + std::string(8, '\0');
  std::string partial = GzipDecompress(cut);
  EXPECT_LT(partial.size(), 5000u);
  EXPECT_EQ(partial, Bytes(5000, 3).substr(0, partial.size()));
  // Too short for a header and trailer, or a stored name without its end: refused, not over-read.
  for (std::string bad : {std::string(), std::string("\x1F\x8B\x08\x08", 4),
                          std::string("\x1F\x8B\x08\x08\0\0\0\0\0\0nameWithoutEnd", 24)}) {
    try {
      GzipDecompress(bad);
      ADD_FAILURE() << "accepted " << bad.size() << " bytes";
    } catch (const EZLibError& e) {
      EXPECT_EQ(e.Code(), -3);
      EXPECT_STREQ(e.what(), "data error");
    }
  }
}

TEST(ZLibError, TextsOfTheCodes) {
  const std::pair<int, const char*> texts[] = {{-1, "file error"}, {-2, "stream error"}, {-3, "data error"},
                                               {-4, "insufficient memory"}, {-5, "buffer error"},
                                               {-6, "incompatible version"}};
  for (auto [code, text] : texts) EXPECT_STREQ(EZLibError(code).what(), text);
}

TEST(ReportFileNames, TemporaryNames) {
  const TReportFileNames all = ReportFileNames("C:\\T\\", "D:\\Logs\\prog.flf", 0x0058);
  EXPECT_EQ(all.LogCopy, "C:\\T\\prog.flf");
  EXPECT_EQ(all.XmlCopy, "C:\\T\\prog.xml");
  EXPECT_EQ(all.Screenshot, "C:\\T\\Screenshot.png");
  EXPECT_EQ(all.Archive, "C:\\T\\CompressFiles.tgz");
  EXPECT_EQ(all.LastWebPage, "C:\\T\\LastHTMLPage.html");
  const TReportFileNames none = ReportFileNames("C:\\T\\", "prog.flf", 0);
  EXPECT_EQ(none.XmlCopy, "");
  EXPECT_EQ(none.Screenshot, "");
  EXPECT_EQ(none.LastWebPage, "");
}

TEST(DisplayName, PlainOrTimeStamped) {
  double when = 45356.0 + (14 * 3600 + 7 * 60 + 9) / 86400.0;
  struct Case {
    const char* path;
    uint16_t flags;
    const char* name;
  } cases[] = {
      {"C:\\Temp\\Screenshot.png", 0, "Screenshot.png"},
      {"C:\\Temp\\Screenshot.png", SendTimeStampNames, "Screenshot_20240305140709.png"},
      {"C:\\Temp\\prog.flf", SendTimeStampNames | SendCompressed, "prog_20240305140709.flf"},
      {"C:\\a.b\\noext", SendTimeStampNames, "noext_20240305140709"},
      // A GBK name whose second byte is 0x5C is one character, not a folder separator.
      {"C:\\T\\\xB1\x5C.txt", 0, "\xB1\x5C.txt"},
  };
  for (auto& c : cases) EXPECT_EQ(AttachmentDisplayName(c.path, c.flags, when), c.name) << c.path;
}

// In-memory files for the list rules.
class TMemoryFiles : public TFaultFileAccess {
 public:
  std::map<std::string, std::string> files;
  bool Exists(const std::string& path) override { return files.count(path) != 0; }
  std::string ReadAll(const std::string& path) override {
    auto it = files.find(path);
    if (it == files.end()) throw EFaultFileError("missing " + path);
    return it->second;
  }
  double LastWriteTime(const std::string& path) override { return Exists(path) ? 45000.5 : 0; }
  void WriteAll(const std::string& path, std::string_view bytes) override { files[path] = std::string(bytes); }
  void Remove(const std::string& path) override { files.erase(path); }
};

TEST(AttachmentList, OrderAndConditions) {
  TMemoryFiles files;
  for (const char* p : {"C:\\a.txt", "C:\\b c.txt", "T\\prog.flf", "T\\prog.xml", "T\\Screenshot.png",
                        "T\\LastHTMLPage.html", "C:\\handler.log", "L\\prog_20261211120000.dmp"})
    files.files[p] = p;
  TAttachmentSources src;
  src.ExtraFiles = " C:\\a.txt ;; C:\\missing.txt;C:\\b c.txt ; ";
  src.ReportCopyPath = "T\\prog.flf";
  src.XmlCopyPath = "T\\prog.xml";
  src.ScreenshotPath = "T\\Screenshot.png";
  src.MinidumpPath = "L\\prog_20261211120000.dmp";
  src.LastHtmlPagePath = "T\\LastHTMLPage.html";
  src.ArchivePath = "T\\CompressFiles.tgz";
  src.SendFlags = SendXmlCopy | SendScreenshot | SendLastHtmlPage;
  src.AttachScreenshot = true;
  src.HasLastHtmlPage = true;

  std::vector<std::string> list{"left over"};
  std::vector<std::string> seenByHandler;
  auto request = [&](std::vector<std::string>& l) {
    seenByHandler = l;
    l.push_back("C:\\handler.log");
    l.push_back("C:\\handler-missing.log");
  };
  BuildAttachmentList(list, src, false, request, files);
  EXPECT_EQ(seenByHandler, (std::vector<std::string>{"C:\\a.txt", "C:\\missing.txt", "C:\\b c.txt", "T\\prog.flf",
                                                     "T\\Screenshot.png", "L\\prog_20261211120000.dmp",
                                                     "T\\LastHTMLPage.html", "T\\prog.xml"}));
  EXPECT_EQ(list, (std::vector<std::string>{"C:\\a.txt", "C:\\b c.txt", "T\\prog.flf", "T\\Screenshot.png",
                                            "L\\prog_20261211120000.dmp", "T\\LastHTMLPage.html", "T\\prog.xml",
                                            "C:\\handler.log"}));

  // For e-mail with LogAppend the report travels in the body; the dialog's screenshot choice and
  // a missing last page leave those out.
  src.LogAppend = true;
  src.AttachScreenshot = false;
  src.HasLastHtmlPage = false;
  src.SendFlags = 0;
  src.ExtraFiles.clear();
  src.MinidumpPath.clear();
  BuildAttachmentList(list, src, true, nullptr, files);
  EXPECT_TRUE(list.empty());
  BuildAttachmentList(list, src, false, nullptr, files);
  EXPECT_EQ(list, std::vector<std::string>{"T\\prog.flf"});
}

TEST(AttachmentList, CompressedListBecomesTheArchive) {
  TMemoryFiles files;
  files.files["T\\prog.flf"] = "report text";
  files.files["C:\\x.txt"] = std::string(600, 'x');
  TAttachmentSources src;
  src.ExtraFiles = "C:\\x.txt";
  src.ReportCopyPath = "T\\prog.flf";
  src.ArchivePath = "T\\CompressFiles.tgz";
  src.SendFlags = SendCompressed;
  std::vector<std::string> list;
  BuildAttachmentList(list, src, false, nullptr, files);
  ASSERT_EQ(list, std::vector<std::string>{"T\\CompressFiles.tgz"});
  std::string tar = GzipDecompress(files.files["T\\CompressFiles.tgz"]);
  ASSERT_EQ(tar.size(), 512u + 1024u + 512u + 512u + 512u);
  EXPECT_EQ(tar.substr(0, 6), std::string("x.txt\0", 6));
  EXPECT_EQ(tar.substr(1536, 9), std::string("prog.flf\0", 9));
  EXPECT_EQ(tar.substr(2048, 11), "report text");

  // Nothing left to send: no archive, and the list does not name one.
  files.files.erase("T\\prog.flf");
  files.files.erase("C:\\x.txt");
  files.files.erase("T\\CompressFiles.tgz");
  BuildAttachmentList(list, src, false, nullptr, files);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(files.files.count("T\\CompressFiles.tgz"), 0u);
}

}  // namespace

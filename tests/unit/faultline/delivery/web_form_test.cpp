// The upload address taken apart (ports after the host, user and password only before "@"), and
// the multipart form body judged by Python's email package: fields, files byte-identical, names
// that cannot add headers, a boundary that no content holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "tests/unit/python_judge.h"
#include "faultline/delivery/web_form.h"

namespace fs = std::filesystem;

namespace {

using namespace python_judge;

TEST(SplitUploadAddress, Table) {
  struct TCase {
    const char* address;
    bool ok;
    const char *scheme = "", *user = "", *password = "", *host = "", *path = "";
    uint16_t port = 0;
  };
  const std::vector<TCase> cases = {
      {"http://host:8080/path", true, "http", "", "", "host", "path", 8080},
      {"http://host:8080", true, "http", "", "", "host", "", 8080},
      {"http://host:8080/", true, "http", "", "", "host", "", 8080},
      {"http://host/dir:8080", true, "http", "", "", "host", "dir:8080", 0},
      {"ftp://user:pw@host/dir/", true, "ftp", "user", "pw", "host", "dir", 0},
      {"ftp://user:pw@ftp.example.com:2121/in/reports/", true, "ftp", "user", "pw", "ftp.example.com", "in/reports",
       2121},
      {"https://host/", true, "https", "", "", "host", "", 0},
      {"https://host", true, "https", "", "", "host", "", 0},
      {"  http://example.com/a/b/  ", true, "http", "", "", "example.com", "a/b", 0},
      {"www.example.com/upload/report.php", true, "", "", "", "www.example.com", "upload/report.php", 0},
      {"host:81", true, "", "", "", "host", "", 81},
      {"10.0.0.5:8080/up", true, "", "", "", "10.0.0.5", "up", 8080},
      {"http://user@host/", true, "http", "user", "", "host", "", 0},
      {"http://us_er:p@ss:w%d@host:21/x", true, "http", "us_er", "p@ss:w%d", "host", "x", 21},
      {"http://[::1]:8080/up", true, "http", "", "", "::1", "up", 8080},
      {"http://host:/x", true, "http", "", "", "host", "x", 0},
      {"http://host/go?to=http://other/", true, "http", "", "", "host", "go?to=http://other", 0},
      {"http://host:80a/", false},
      {"http://host:8o80", false},
      {"http://host:65536/", false},
      {"http://host:0/", false},
      {"http:///path", false},
      {"http://user:pw@/path", false},
      {"http://[::1/", false},
      {"", false},
      {"   ", false},
  };
  for (const TCase& c : cases) {
    auto a = SplitUploadAddress(c.address);
    ASSERT_EQ(a.has_value(), c.ok) << c.address;
    if (!a) continue;
    EXPECT_EQ(a->Scheme, c.scheme) << c.address;
    EXPECT_EQ(a->User, c.user) << c.address;
    EXPECT_EQ(a->Password, c.password) << c.address;
    EXPECT_EQ(a->Host, c.host) << c.address;
    EXPECT_EQ(a->Path, c.path) << c.address;
    EXPECT_EQ(a->Port, c.port) << c.address;
  }
}

TEST(FormBoundary, DashesAndUpperCaseHex) {
  EXPECT_EQ(FormBoundary(0, 0xABCD, 65534), std::string(27, '-') + "0000ABCDFFFE");
}

// A fixed sequence of numbers in place of the pseudo-random source.
TFormRandom Sequence(std::vector<uint16_t> numbers) {
  auto next = std::make_shared<size_t>(0);
  return [numbers, next]() { return numbers[(*next)++ % numbers.size()]; };
}

TEST(FormBody, ExactLayout) {
  TempDir dir;
  TStdFileAccess files;
  const std::string path = dir.Write("r.txt", "data");
  TFormBody form = BuildFormBody({"app"}, {"Tarn"}, {"r.txt"}, {path}, files, Sequence({1, 2, 3}));
  const std::string b = std::string(27, '-') + "000100020003";
  EXPECT_EQ(form.Boundary, b);
  EXPECT_EQ(form.Body, "--" + b + "\r\nContent-Disposition: form-data; name=\"app\";\r\n\r\nTarn\r\n" +
                           "--" + b + "\r\nContent-Disposition: form-data; name=\"fl_upload_file_0\"; " +
                           "filename=\"r.txt\";\r\nContent-Type: application/octet-stream\r\n\r\ndata\r\n" +
                           "--" + b + "--\r\n");
}

// The body behind a Content-Type header, read as 8-bit text (latin-1 keeps every byte); per part:
// its header names, name, filename, type and content in hex ("-" for none).
const char kFormJudge[] = R"PY(
import sys, email
m = email.message_from_string(open(sys.argv[1], 'rb').read().decode('latin-1'))
h = lambda s: '-' if s is None else str(s).encode('latin-1').hex()
print('message', m.get_content_type(), len(m.defects), h(m.preamble or None), h(m.epilogue or None))
for p in m.get_payload():
    print('part', ','.join(p.keys()), h(p.get_param('name', header='content-disposition')),
          h(p.get_param('filename', header='content-disposition')), p.get_content_type(), len(p.defects),
          p.get_payload(decode=True).hex())
)PY";

std::vector<std::string> JudgeForm(const TFormBody& form) {
  return RunPythonLines(kFormJudge,
                   "Content-Type: multipart/form-data; boundary=\"" + form.Boundary + "\"\r\n\r\n" + form.Body);
}

TEST(FormBody, PythonEmailReadsFieldsAndFilesByteIdentical) {
  TempDir dir;
  TStdFileAccess files;
  const std::string binary = RandomBytes(5000, 11) + "\r\n--" + std::string(27, '-') + "\r\n";
  const std::vector<std::string> paths = {dir.Write("a.bin", binary), dir / "missing.log",
                                          dir.Write("gbk.txt", "\xb1\xa8\xb8\xe6\r\n"), dir.Write("empty.dat", ""),
                                          dir.Write("cr.txt", "ends with CR\r")};
  const std::vector<std::string> shown = {"a.bin", "missing.log", "\xb1\xa8\xb8\xe6.txt", "empty.dat", "cr.txt"};
  const std::vector<std::string> names = {"version", "comment", "unpaired"};
  const std::vector<std::string> values = {"1.0", "two lines\r\n--not a boundary\r\n.\r\n"};
  TFormBody form = BuildFormBody(names, values, shown, paths, files, Sequence({0x1234, 0xBEEF, 42}));

  const std::string disposition = "Content-Disposition";
  const std::string fileHeaders = disposition + ",Content-Type";
  auto field = [&](const std::string& name, const std::string& value) {
    return "part " + disposition + " " + Hex(name) + " - text/plain 0 " + Hex(value);
  };
  auto file = [&](int i, const std::string& name, const std::string& bytes) {
    return "part " + fileHeaders + " " + Hex("fl_upload_file_" + std::to_string(i)) + " " + Hex(name) +
           " application/octet-stream 0 " + Hex(bytes);
  };
  EXPECT_EQ(JudgeForm(form), (std::vector<std::string>{
                                 "message multipart/form-data 0 - -",
                                 field("version", "1.0"),
                                 field("comment", values[1]),
                                 file(0, "a.bin", binary),
                                 file(2, "\xb1\xa8\xb8\xe6.txt", "\xb1\xa8\xb8\xe6\r\n"),
                                 file(3, "empty.dat", ""),
                                 file(4, "cr.txt", "ends with CR\r"),
                             }));
}

TEST(FormBody, NamesCannotAddHeadersOrParts) {
  TempDir dir;
  TStdFileAccess files;
  const std::string path = dir.Write("x.bin", "x");
  const std::string evilName = "a\"; filename=\"fake.exe\"\r\nX-Injected: 1\r\n\r\nbody";
  TFormBody form = BuildFormBody({evilName}, {"v"}, {"r\"\r\nContent-Type: text/html\r\n.txt"}, {path}, files,
                                 Sequence({7, 8, 9}));
  EXPECT_EQ(JudgeForm(form),
            (std::vector<std::string>{
                "message multipart/form-data 0 - -",
                "part Content-Disposition " + Hex("a%22; filename=%22fake.exe%22%0D%0AX-Injected: 1%0D%0A%0D%0Abody") +
                    " - text/plain 0 " + Hex("v"),
                "part Content-Disposition,Content-Type " + Hex("fl_upload_file_0") + " " +
                    Hex("r%22%0D%0AContent-Type: text/html%0D%0A.txt") + " application/octet-stream 0 " + Hex("x"),
            }));
}

TEST(FormBody, BoundaryHeldByAFileIsDrawnAgain) {
  TempDir dir;
  TStdFileAccess files;
  const std::string first = std::string(27, '-') + "000100020003";
  const std::string clash = "text\r\n--" + first + "--\r\nmore";
  const std::string path = dir.Write("clash.txt", clash);
  TFormBody form = BuildFormBody({"f"}, {"also " + first}, {"clash.txt"}, {path}, files, Sequence({1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(form.Boundary, std::string(27, '-') + "000400050006");
  const std::vector<std::string> got = JudgeForm(form);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[2], "part Content-Disposition,Content-Type " + Hex("fl_upload_file_0") + " " + Hex("clash.txt") +
                        " application/octet-stream 0 " + Hex(clash));
  // A source that never leaves the clash gives up instead of sending a broken form.
  EXPECT_THROW(BuildFormBody({}, {}, {"clash.txt"}, {path}, files, Sequence({1, 2, 3})), EFaultFormError);
}

TEST(FormBody, NoFieldsNoFilesIsJustTheClosingLine) {
  TStdFileAccess files;
  TFormBody form = BuildFormBody({"only-name"}, {}, {}, {"/nonexistent/file"}, files, Sequence({1, 2, 3}));
  EXPECT_EQ(form.Body, "--" + form.Boundary + "--\r\n");
}

}  // namespace

// The server's streaming form parser against the form the program's web delivery really builds
// (BuildFormBody), fed in pieces of every size from one byte up, so that every boundary, header
// and CR LF falls across the end of a piece somewhere.
#include "tools/flreader/multipart_stream.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "faultline/delivery/web_form.h"

namespace {

class TMemoryFiles : public TFaultFileAccess {
 public:
  std::map<std::string, std::string> Files;
  bool Exists(const std::string& path) override { return Files.count(path) != 0; }
  std::string ReadAll(const std::string& path) override { return Files.at(path); }
  double LastWriteTime(const std::string&) override { return 0; }
  void WriteAll(const std::string& path, std::string_view bytes) override { Files[path] = std::string(bytes); }
  void Remove(const std::string& path) override { Files.erase(path); }
};

struct TPart {
  std::string Name, FileName, Content;
  bool IsFile = false;
  bool operator==(const TPart&) const = default;
};

// Parses body in pieces of size step; empty result and the error when it fails.
std::vector<TPart> Parse(const std::string& boundary, const std::string& body, size_t step, std::string& error) {
  std::vector<TPart> parts;
  bool open = false;
  TMultipartStream form(boundary, {[&](const TFormPart& p) {
                                     parts.push_back({p.Name, p.FileName, "", p.IsFile});
                                     open = true;
                                     return true;
                                   },
                                   [&](std::string_view bytes) {
                                     parts.back().Content.append(bytes);
                                     return open;
                                   },
                                   [&]() {
                                     open = false;
                                     return true;
                                   }});
  for (size_t at = 0; at < body.size(); at += step)
    if (!form.Feed(std::string_view(body).substr(at, step))) break;
  error = form.Error();
  if (!form.Complete()) parts.clear();
  return parts;
}

TEST(MultipartStream, ReadsTheDeliveryFormInPiecesOfEverySize) {
  TMemoryFiles files;
  // Contents that hold what a parser might take for the end of a part.
  const std::string boundaryLike = "\r\n--" + std::string(27, '-') + "0000\r\n--\r\n\r\n";
  files.Files["C:\\r\\CompressFiles.tgz"] = std::string("\x1f\x8b\0\r\n", 5) + boundaryLike + std::string(300, '\xa5');
  files.Files["C:\\r\\extra.txt"] = "attached by the program\r\n";
  files.Files["C:\\r\\empty.bin"] = "";
  uint16_t seed = 7;
  const TFormBody form = BuildFormBody({"build", "channel", "quote\"d"}, {"1234", "night\r\nly", ""},
                                       {"CompressFiles.tgz", "a\\extra.txt", "empty.bin"},
                                       {"C:\\r\\CompressFiles.tgz", "C:\\r\\extra.txt", "C:\\r\\empty.bin"}, files,
                                       [&] { return seed = static_cast<uint16_t>(seed * 31 + 11); });
  const std::vector<TPart> want = {
      {"build", "", "1234", false},
      {"channel", "", "night\r\nly", false},
      {"quote%22d", "", "", false},
      {"fl_upload_file_0", "CompressFiles.tgz", files.Files["C:\\r\\CompressFiles.tgz"], true},
      {"fl_upload_file_1", "a\\extra.txt", "attached by the program\r\n", true},
      {"fl_upload_file_2", "empty.bin", "", true},
  };
  EXPECT_EQ(TMultipartStream::BoundaryOf("multipart/form-data; boundary=" + form.Boundary), form.Boundary);
  for (size_t step = 1; step <= form.Body.size(); ++step) {
    std::string error;
    ASSERT_EQ(Parse(form.Boundary, form.Body, step, error), want) << "pieces of " << step << ": " << error;
  }
}

TEST(MultipartStream, RefusesWhatIsNotAWholeForm) {
  const std::string b = "XyZ";
  const std::string head = "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n\r\n";
  struct TCase {
    const char* What;
    std::string Body;
  } cases[] = {
      {"ends before the closing boundary", head + "data"},
      {"ends after a part without the closing one", head + "data\r\n--XyZ\r\n"},
      {"no boundary at all", "just text"},
      {"a part without Content-Disposition", "--XyZ\r\nContent-Type: text/plain\r\n\r\nx\r\n--XyZ--\r\n"},
      {"a part of another disposition", "--XyZ\r\nContent-Disposition: attachment\r\n\r\nx\r\n--XyZ--\r\n"},
      {"garbage after a boundary", "--XyZjunk\r\n" + head.substr(7) + "x\r\n--XyZ--\r\n"},
      {"headers that never end", "--XyZ\r\nContent-Disposition: form-data; name=\"" + std::string(40000, 'a')},
  };
  for (const TCase& c : cases) {
    std::string error;
    EXPECT_TRUE(Parse(b, c.Body, 1000, error).empty()) << c.What;
  }
  // Content types: only multipart/form-data with a boundary of at most 70 characters.
  EXPECT_EQ(TMultipartStream::BoundaryOf("Multipart/Form-Data; charset=x; boundary=\"a b\""), "a b");
  EXPECT_EQ(TMultipartStream::BoundaryOf("multipart/form-data"), "");
  EXPECT_EQ(TMultipartStream::BoundaryOf("multipart/form-datax; boundary=a"), "");
  EXPECT_EQ(TMultipartStream::BoundaryOf("multipart/mixed; boundary=a"), "");
  EXPECT_EQ(TMultipartStream::BoundaryOf("multipart/form-data; boundary=" + std::string(71, 'a')), "");
}

}  // namespace

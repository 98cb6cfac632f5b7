#include "tools/flreader/upload_server.h"

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/flreader/gbk_text.h"
#include "tools/flreader/html_pages.h"
#include "tools/flreader/log_input.h"
#include "tools/flreader/multipart_stream.h"
#include "tools/flreader/report_group.h"
#include "tools/flreader/report_view.h"

namespace fs = std::filesystem;

namespace {

// Uploads being received live in folders whose names start with this; a finished upload is
// renamed to its own name in one step, so a folder without the prefix is always whole.
const char* const IncomingPrefix = ".incoming-";
// The form fields of one upload together; anything larger is not a report's form.
constexpr size_t MaxFieldBytes = 1 << 20;

struct TFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using TFile = std::unique_ptr<std::FILE, TFileCloser>;

// Flushes and closes f with its data on the disk; false when anything failed.
bool CloseDurably(TFile& f) {
  bool ok = std::fflush(f.get()) == 0 && ::fsync(fileno(f.get())) == 0;
  ok = std::fclose(f.release()) == 0 && ok;
  return ok;
}

void SyncFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

// A JSON string of arbitrary bytes: bytes from 0x80 up become the characters U+0080 to U+00FF,
// one per byte, so that the text read back as Latin-1 gives the bytes exactly (a form's values
// are the program's ANSI text, not UTF-8).
std::string JsonBytes(std::string_view bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// The name a file is kept under: its position among the form's files, then its name without any
// folder, reduced to characters that are safe in any file system and in an address.
std::string StoredFileName(size_t index, std::string_view sentName) {
  const size_t cut = sentName.find_last_of("\\/");
  if (cut != std::string_view::npos) sentName.remove_prefix(cut + 1);
  std::string safe;
  for (char c : sentName.substr(0, 100)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '_' || c == '-';
    safe += plain ? c : '_';
  }
  while (!safe.empty() && safe.front() == '.') safe.erase(0, 1);
  return std::to_string(index) + "-" + (safe.empty() ? "file" : safe);
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
  if (s.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) != suffix[i]) return false;
  return true;
}

// The stored file of an upload that holds its reports: the first (in the form's order) that is a
// report archive or a log. Empty when there is none.
std::string ReportFileOf(const fs::path& upload) {
  std::vector<std::pair<long, std::string>> files;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(upload / "files", ec)) {
    const std::string name = e.path().filename().string();
    files.emplace_back(std::strtol(name.c_str(), nullptr, 10), e.path().string());
  }
  std::sort(files.begin(), files.end());
  for (const auto& [index, path] : files)
    if (IsArchiveFile(path) || EndsWithNoCase(path, ".flf")) return path;
  return "";
}

// Whether text is a name the server made (an upload's id) or wrote (a page): no separators, no
// leading dot, so that no request can leave the folder it names.
bool IsPlainName(const std::string& text, bool allowDot) {
  if (text.empty() || text.size() > 120 || text.front() == '.' || text.front() == '-') return false;
  for (char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '_' || (allowDot && c == '.');
    if (!ok) return false;
  }
  return true;
}

std::string ContentTypeOf(const std::string& name) {
  if (EndsWithNoCase(name, ".html")) return "text/html; charset=utf-8";
  if (EndsWithNoCase(name, ".png")) return "image/png";
  return "application/octet-stream";
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class TUploadServer {
 public:
  explicit TUploadServer(const TServeOptions& options) : options_(options), root_(options.Dir) {}

  int Run();

 private:
  std::string NewId();
  void Receive(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
  void Refuse(httplib::Response& res, int status, const std::string& why) const;
  httplib::Server::HandlerResponse Screen(const httplib::Request& req, httplib::Response& res) const;
  std::string IndexPage();
  void ServePage(const httplib::Request& req, httplib::Response& res);

  TServeOptions options_;
  fs::path root_;
  std::atomic<unsigned> sequence_{0};
  std::atomic<unsigned> generation_{1};  // counts the uploads stored, for the index cache
  std::mutex indexLock_;
  unsigned indexGeneration_ = 0;
  std::string index_;
};

std::string TUploadServer::NewId() {
  // The time orders the folders for a reader; the process id and a counter make the name unique
  // even for uploads in the same second, and the folder is made with a call that fails when the
  // name is taken (see Receive).
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
  char id[80];
  std::snprintf(id, sizeof id, "%s-%d-%06u", stamp, static_cast<int>(::getpid()), sequence_.fetch_add(1));
  return id;
}

void TUploadServer::Refuse(httplib::Response& res, int status, const std::string& why) const {
  res.status = status;
  // The rest of a refused body is never read: the connection cannot carry another request.
  res.set_header("Connection", "close");
  res.set_content(std::to_string(status) + " " + why + "\n", "text/plain; charset=utf-8");
}

// What can be refused from the request line and the headers alone, before any of the body is read.
httplib::Server::HandlerResponse TUploadServer::Screen(const httplib::Request& req, httplib::Response& res) const {
  using R = httplib::Server::HandlerResponse;
  if (req.method != "GET" && req.method != "HEAD" && req.method != "POST") {
    res.set_header("Allow", "GET, HEAD, POST");
    Refuse(res, 405, "method not allowed: reports are sent with POST, pages read with GET");
    return R::Handled;
  }
  if (req.method != "POST") return R::Unhandled;
  const std::string type = req.get_header_value("Content-Type");
  if (!TMultipartStream::IsFormData(type)) {
    Refuse(res, 415, "an upload is a multipart/form-data form");
    return R::Handled;
  }
  if (TMultipartStream::BoundaryOf(type).empty()) {
    Refuse(res, 400, "the form has no boundary");
    return R::Handled;
  }
  if (req.has_header("Content-Length")) {
    const std::string text = req.get_header_value("Content-Length");
    char* end = nullptr;
    errno = 0;
    const unsigned long long length = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != 0 || errno == ERANGE || text[0] == '-') {
      Refuse(res, 400, "unreadable Content-Length");
      return R::Handled;
    }
    if (length > options_.MaxBytes) {
      Refuse(res, 413, "the upload is larger than " + std::to_string(options_.MaxBytes) + " bytes");
      return R::Handled;
    }
  }
  return R::Unhandled;
}

void TUploadServer::Receive(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
  const std::string boundary = TMultipartStream::BoundaryOf(req.get_header_value("Content-Type"));
  // The library's own form parser (of the version Debian ships) refuses a Content-Disposition
  // header that ends with ";", which is what the program's delivery sends. The body is taken raw
  // instead and parsed here as it streams; the library decides between the two by the
  // Content-Type, so it is renamed for it. The request object is the server's own, not const.
  for (auto& [key, value] : const_cast<httplib::Request&>(req).headers)
    if (key.size() == 12 && strcasecmp(key.c_str(), "Content-Type") == 0) value = "application/octet-stream";

  std::string id;
  fs::path incoming;
  for (;;) {
    id = NewId();
    incoming = root_ / (IncomingPrefix + id);
    std::error_code ec;
    if (fs::create_directory(incoming, ec)) break;
    if (ec) return Refuse(res, 500, "cannot store the upload");
  }
  struct TCleanup {
    fs::path Path;
    ~TCleanup() {
      std::error_code ec;
      if (!Path.empty()) fs::remove_all(Path, ec);
    }
  } cleanup{incoming};
  fs::create_directory(incoming / "files");

  struct TStoredFile {
    std::string Field, Sent, Stored;
    uint64_t Size = 0;
  };
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<TStoredFile> files;
  size_t fieldBytes = 0;
  bool diskFailed = false, tooLarge = false;
  TFile out;
  TMultipartStream form(boundary, {
      [&](const TFormPart& part) {
        if (!part.IsFile) {
          fields.emplace_back(part.Name, std::string());
          return true;
        }
        files.push_back({part.Name, part.FileName, StoredFileName(files.size(), part.FileName), 0});
        out.reset(std::fopen((incoming / "files" / files.back().Stored).c_str(), "wb"));
        diskFailed = !out;
        return !diskFailed;
      },
      [&](std::string_view bytes) {
        if (out) {
          files.back().Size += bytes.size();
          diskFailed = std::fwrite(bytes.data(), 1, bytes.size(), out.get()) != bytes.size();
          return !diskFailed;
        }
        fieldBytes += bytes.size();
        if (fieldBytes > MaxFieldBytes) return false;
        fields.back().second.append(bytes.data(), bytes.size());
        return true;
      },
      [&]() {
        if (out) diskFailed = !CloseDurably(out);
        return !diskFailed;
      }});
  uint64_t received = 0;
  reader([&](const char* data, size_t length) {
    received += length;
    // A body without a length (chunked) is counted as it comes.
    if (received > options_.MaxBytes) {
      tooLarge = true;
      return false;
    }
    return form.Feed(std::string_view(data, length));
  });
  out.reset();
  if (tooLarge) return Refuse(res, 413, "the upload is larger than " + std::to_string(options_.MaxBytes) + " bytes");
  if (diskFailed) return Refuse(res, 500, "cannot store the upload");
  if (!form.Complete())
    return Refuse(res, 400, form.Error().empty() ? "the form ends early" : "malformed form: " + form.Error());
  if (files.empty()) return Refuse(res, 400, "the form holds no report file");

  // The pages of the report, made now so that a page request only reads files.
  const std::string report = ReportFileOf(incoming);
  std::string pages = "false";
  if (!report.empty()) {
    try {
      WriteHtmlPages(report, (incoming / "pages").string(), options_.Password);
      pages = "true";
    } catch (const std::exception& e) {
      std::fprintf(stderr, "flreader: upload %s: no pages: %s\n", id.c_str(), e.what());
    }
  }

  std::string json = "{\"id\": " + JsonBytes(id) + ", \"received\": " + JsonBytes(id.substr(0, 15)) +
                     ", \"path\": " + JsonBytes(req.path) + ", \"remote\": " + JsonBytes(req.remote_addr) +
                     ", \"pages\": " + pages + ",\n \"fields\": [";
  for (size_t i = 0; i < fields.size(); ++i)
    json += std::string(i ? ", " : "") + "{\"name\": " + JsonBytes(fields[i].first) +
            ", \"value\": " + JsonBytes(fields[i].second) + "}";
  json += "],\n \"files\": [";
  for (size_t i = 0; i < files.size(); ++i)
    json += std::string(i ? ",\n  " : "\n  ") + "{\"name\": " + JsonBytes(files[i].Field) +
            ", \"filename\": " + JsonBytes(files[i].Sent) + ", \"stored\": " + JsonBytes("files/" + files[i].Stored) +
            ", \"size\": " + std::to_string(files[i].Size) + "}";
  json += "]}\n";
  TFile meta(std::fopen((incoming / "upload.json").c_str(), "wb"));
  if (!meta || std::fwrite(json.data(), 1, json.size(), meta.get()) != json.size() || !CloseDurably(meta))
    return Refuse(res, 500, "cannot store the upload");
  SyncFolder(incoming / "files");
  SyncFolder(incoming);

  std::error_code ec;
  fs::rename(incoming, root_ / id, ec);
  if (ec) return Refuse(res, 500, "cannot store the upload");
  cleanup.Path.clear();
  SyncFolder(root_);
  generation_.fetch_add(1);
  std::fprintf(stderr, "flreader: stored upload %s (%zu files)\n", id.c_str(), files.size());
  // The delivery takes status 200 as success; the body names the upload for people.
  res.status = 200;
  res.set_content("OK " + id + "\n", "text/plain; charset=utf-8");
}

std::string TUploadServer::IndexPage() {
  std::lock_guard<std::mutex> lock(indexLock_);
  // Read before the folder is: an upload stored meanwhile makes the next request build again.
  const unsigned generation = generation_.load();
  if (generation == indexGeneration_) return index_;
  std::vector<std::string> ids;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(root_, ec)) {
    const std::string name = e.path().filename().string();
    if (e.is_directory() && IsPlainName(name, false)) ids.push_back(name);
  }
  std::sort(ids.begin(), ids.end());
  TGrouping grouping;
  int reports = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    // Only an upload with pages holds a readable report.
    if (!fs::is_directory(root_ / ids[i] / "pages")) continue;
    const std::string report = ReportFileOf(root_ / ids[i]);
    if (report.empty()) continue;
    int number = 0;
    try {
      ForEachInputReport(report, [&](std::string&& text) {
        grouping.Add(GroupViewOfReport(text, options_.Password), {i, ++number});
        ++reports;
      });
    } catch (const std::exception& e) {
      std::fprintf(stderr, "flreader: upload %s: %s\n", ids[i].c_str(), e.what());
    }
  }
  index_ = GroupIndexPage("Received reports", HtmlEscape(GbkToUtf8(root_.string())), grouping.Sorted(), reports,
                          [&](const TReportRef& ref) {
                            return TPageLink{"reports/" + ids[ref.Input] + "/report-" + std::to_string(ref.Number) +
                                                 ".html",
                                             ids[ref.Input] + " #" + std::to_string(ref.Number)};
                          });
  indexGeneration_ = generation;
  return index_;
}

void TUploadServer::ServePage(const httplib::Request& req, httplib::Response& res) {
  const std::string id = req.matches[1];
  std::string name = req.matches[2];
  if (name.empty()) name = "index.html";
  const fs::path file = root_ / id / "pages" / name;
  std::error_code ec;
  if (!IsPlainName(id, false) || !IsPlainName(name, true) || !fs::is_regular_file(fs::symlink_status(file, ec))) {
    res.status = 404;
    res.set_content("404 no such page\n", "text/plain; charset=utf-8");
    return;
  }
  res.set_content(ReadWhole(file), ContentTypeOf(name));
}

int TUploadServer::Run() {
  std::error_code ec;
  fs::create_directories(root_, ec);
  if (!fs::is_directory(root_)) {
    std::fprintf(stderr, "flreader: cannot make the folder %s\n", root_.c_str());
    return 1;
  }
  // What a crash left half-received is not an upload.
  for (const fs::directory_entry& e : fs::directory_iterator(root_, ec))
    if (e.path().filename().string().rfind(IncomingPrefix, 0) == 0) fs::remove_all(e.path(), ec);
  // A client that goes away mid-answer must not end the server.
  ::signal(SIGPIPE, SIG_IGN);

  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(16); };
  // The body's size is checked by Screen (its length) and Receive (as it streams).
  server.set_payload_max_length(options_.MaxBytes + 1);
  server.set_pre_routing_handler(
      [this](const httplib::Request& req, httplib::Response& res) { return Screen(req, res); });
  // Every page is made from reports: a script in one must never run, whatever slips through.
  server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Content-Security-Policy", "default-src 'none'; img-src 'self'; style-src 'unsafe-inline'");
  });
  server.Post(".*", [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
    Receive(req, res, reader);
  });
  server.Get("/", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(IndexPage(), "text/html; charset=utf-8");
  });
  server.Get("/index.html", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(IndexPage(), "text/html; charset=utf-8");
  });
  server.Get(R"(/reports/([^/]+)/([^/]*))",
             [this](const httplib::Request& req, httplib::Response& res) { ServePage(req, res); });

  int port = options_.Port;
  if (port == 0) {
    port = server.bind_to_any_port(options_.Bind);
  } else if (!server.bind_to_port(options_.Bind, port)) {
    port = -1;
  }
  if (port <= 0) {
    std::fprintf(stderr, "flreader: cannot listen on %s port %d\n", options_.Bind.c_str(), options_.Port);
    return 1;
  }
  std::printf("%d\n", port);
  std::fflush(stdout);
  std::fprintf(stderr, "flreader: keeping uploads in %s, listening on %s port %d\n", root_.c_str(),
               options_.Bind.c_str(), port);
  return server.listen_after_bind() ? 0 : 1;
}

}  // namespace

int Serve(const TServeOptions& options) {
  TUploadServer server(options);
  return server.Run();
}

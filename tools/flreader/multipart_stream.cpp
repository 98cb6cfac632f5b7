#include "tools/flreader/multipart_stream.h"

#include <utility>

#include "rtl/ascii_text.h"

namespace {

// A part's header block of more than this is not a form someone means to send us.
constexpr size_t MaxHeaderBlock = 16 * 1024;
constexpr int MaxParts = 1000;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The parameters after the first ";" of a header value, as (lower-case key, value) pairs given to
// sink. A value is a quoted string (taken up to the next quote: form-data names escape their
// quotes as %22, never with a backslash) or a token up to the next ";". Tolerates the empty
// parameters that a trailing ";" leaves.
template <typename Sink>
void ForEachParameter(std::string_view value, Sink sink) {
  size_t i = value.find(';');
  while (i != std::string_view::npos && i < value.size()) {
    while (i < value.size() && (value[i] == ';' || value[i] == ' ' || value[i] == '\t')) ++i;
    const size_t keyStart = i;
    while (i < value.size() && value[i] != '=' && value[i] != ';') ++i;
    std::string key(Trim(value.substr(keyStart, i - keyStart)));
    for (char& c : key) c = AsciiLower(c);
    std::string v;
    if (i < value.size() && value[i] == '=') {
      ++i;
      while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
      if (i < value.size() && value[i] == '"') {
        const size_t close = value.find('"', i + 1);
        const size_t end = close == std::string_view::npos ? value.size() : close;
        v = value.substr(i + 1, end - i - 1);
        i = close == std::string_view::npos ? value.size() : close + 1;
      } else {
        const size_t start = i;
        while (i < value.size() && value[i] != ';') ++i;
        v = Trim(value.substr(start, i - start));
      }
    }
    if (!key.empty()) sink(key, std::move(v));
  }
}

}  // namespace

TMultipartStream::TMultipartStream(std::string boundary, TSinks sinks)
    : delimiter_("\r\n--" + boundary), sinks_(std::move(sinks)), buffer_("\r\n") {}

bool TMultipartStream::Fail(std::string why) {
  if (state_ != TState::Failed) error_ = std::move(why);
  state_ = TState::Failed;
  buffer_.clear();
  return false;
}

bool TMultipartStream::IsFormData(std::string_view contentType) {
  contentType = Trim(contentType);
  return StartsWithNoCase(contentType, "multipart/form-data") &&
         (contentType.size() == 19 || contentType[19] == ';' || contentType[19] == ' ' || contentType[19] == '\t');
}

std::string TMultipartStream::BoundaryOf(std::string_view contentType) {
  if (!IsFormData(contentType)) return "";
  std::string boundary;
  ForEachParameter(contentType, [&](const std::string& key, std::string value) {
    if (key == "boundary" && boundary.empty()) boundary = std::move(value);
  });
  return boundary.size() <= 70 ? boundary : std::string();
}

bool TMultipartStream::ReadHeaders(std::string_view block) {
  part_ = TFormPart{};
  bool disposition = false;
  while (!block.empty()) {
    const size_t end = block.find("\r\n");
    const std::string_view line = block.substr(0, end);
    block = end == std::string_view::npos ? std::string_view() : block.substr(end + 2);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return Fail("a part header line without a colon");
    if (!StartsWithNoCase(Trim(line.substr(0, colon)), "content-disposition") ||
        Trim(line.substr(0, colon)).size() != 19)
      continue;
    const std::string_view value = Trim(line.substr(colon + 1));
    if (!StartsWithNoCase(value, "form-data")) return Fail("a part that is not form-data");
    disposition = true;
    ForEachParameter(value, [&](const std::string& key, std::string v) {
      if (key == "name") {
        part_.Name = std::move(v);
      } else if (key == "filename") {
        part_.FileName = std::move(v);
        part_.IsFile = true;
      }
    });
  }
  if (!disposition) return Fail("a part without a Content-Disposition header");
  return true;
}

bool TMultipartStream::Feed(std::string_view bytes) {
  if (state_ == TState::Failed) return false;
  if (state_ == TState::Done) return true;
  buffer_.append(bytes.data(), bytes.size());
  for (;;) {
    switch (state_) {
      case TState::Preamble: {
        const size_t at = buffer_.find(delimiter_);
        if (at == std::string::npos) {
          // What comes before the first boundary is ignored; keep only what could start it.
          if (buffer_.size() >= delimiter_.size()) buffer_.erase(0, buffer_.size() - (delimiter_.size() - 1));
          return true;
        }
        buffer_.erase(0, at + delimiter_.size());
        state_ = TState::AfterBoundary;
        break;
      }
      case TState::AfterBoundary: {
        if (buffer_.size() < 2) return true;
        if (buffer_.compare(0, 2, "--") == 0) {
          state_ = TState::Done;
          buffer_.clear();
          return true;
        }
        const size_t end = buffer_.find("\r\n");
        if (end == std::string::npos) return buffer_.size() < 256 ? true : Fail("garbage after a boundary");
        for (size_t i = 0; i < end; ++i)
          if (buffer_[i] != ' ' && buffer_[i] != '\t') return Fail("garbage after a boundary");
        buffer_.erase(0, end + 2);
        state_ = TState::Headers;
        break;
      }
      case TState::Headers: {
        size_t end = 0, skip = 0;
        if (buffer_.compare(0, 2, "\r\n") == 0) {
          skip = 2;  // no headers at all
        } else {
          end = buffer_.find("\r\n\r\n");
          if (end == std::string::npos)
            return buffer_.size() <= MaxHeaderBlock ? true : Fail("a part's headers are too long");
          skip = end + 4;
        }
        if (end > MaxHeaderBlock) return Fail("a part's headers are too long");
        if (!ReadHeaders(std::string_view(buffer_).substr(0, end))) return false;
        if (++parts_ > MaxParts) return Fail("too many parts");
        buffer_.erase(0, skip);
        if (sinks_.Begin && !sinks_.Begin(part_)) return Fail("refused part");
        state_ = TState::Content;
        break;
      }
      case TState::Content: {
        const size_t at = buffer_.find(delimiter_);
        if (at == std::string::npos) {
          // All but the bytes that could be the start of the delimiter belong to the content.
          if (buffer_.size() >= delimiter_.size()) {
            const size_t keep = delimiter_.size() - 1;
            const size_t give = buffer_.size() - keep;
            if (sinks_.Data && !sinks_.Data(std::string_view(buffer_).substr(0, give))) return Fail("refused data");
            buffer_.erase(0, give);
          }
          return true;
        }
        if (at > 0 && sinks_.Data && !sinks_.Data(std::string_view(buffer_).substr(0, at)))
          return Fail("refused data");
        if (sinks_.End && !sinks_.End()) return Fail("refused part");
        buffer_.erase(0, at + delimiter_.size());
        state_ = TState::AfterBoundary;
        break;
      }
      case TState::Done:
        return true;
      case TState::Failed:
        return false;
    }
  }
}

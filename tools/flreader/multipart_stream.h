#pragma once
// A multipart/form-data body read as it arrives, a piece at a time: the parts' headers and their
// contents are handed on as soon as they are known, so that an upload of any size goes straight
// to disk and the memory held is bounded by one header block and one boundary.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

struct TFormPart {
  std::string Name;      // the name="..." of the Content-Disposition header, as sent
  std::string FileName;  // its filename="...", empty for a plain field
  bool IsFile = false;   // whether the header had a filename at all
};

class TMultipartStream {
 public:
  // begin: a part starts (false stops the parse); data: the next bytes of its content (false
  // stops); end: its content is complete.
  struct TSinks {
    std::function<bool(const TFormPart&)> Begin;
    std::function<bool(std::string_view)> Data;
    std::function<bool()> End;
  };

  TMultipartStream(std::string boundary, TSinks sinks);

  // Takes the next bytes of the body; false once the body is malformed or a sink said stop (then
  // Error() tells why; later calls keep returning false).
  bool Feed(std::string_view bytes);
  // True when the closing boundary has been read (what follows it is ignored).
  bool Complete() const { return state_ == TState::Done; }
  const std::string& Error() const { return error_; }

  // The boundary parameter of a Content-Type value "multipart/form-data; boundary=...": empty
  // when the type is another one or the boundary is missing or longer than 70 characters.
  static std::string BoundaryOf(std::string_view contentType);
  // Whether the Content-Type value names multipart/form-data.
  static bool IsFormData(std::string_view contentType);

 private:
  enum class TState { Preamble, AfterBoundary, Headers, Content, Done, Failed };
  bool Fail(std::string why);
  bool ReadHeaders(std::string_view block);

  std::string delimiter_;  // CR LF "--" boundary
  TSinks sinks_;
  TState state_ = TState::Preamble;
  std::string buffer_;
  std::string error_;
  TFormPart part_;
  int parts_ = 0;
};

// A CGI program that carries Faultline: it may send a page of its own first (QUERY_STRING
// "page"), then fails while answering, with an exception nobody catches. A POST body, when there
// is one, becomes the error page's template.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "faultline/capture/capture.h"
#include "faultline/options/module_options.h"

namespace {

__attribute__((noinline)) void Answer() {
  throw std::runtime_error("Bad <script>alert(\"x\")</script> & 'quoted'  input");
}

}  // namespace

int main() {
  FaultlineStart();
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  const char* length = std::getenv("CONTENT_LENGTH");
  if (length && std::atoi(length) > 0) {
    std::string body(static_cast<size_t>(std::atoi(length)), '\0');
    body.resize(std::fread(body.data(), 1, body.size(), stdin));
    FaultLoadOwnOptions().SetPageTemplate(body);
  }
  const char* query = std::getenv("QUERY_STRING");
  if (query && std::strcmp(query, "page") == 0) {
    std::fputs("<html><body>the program's own page</body></html>", stdout);
    std::fflush(stdout);
  }
  Answer();
  return 0;
}

// A WinCGI program (no console) that carries Faultline: web-wincgi PROFILE CONTENT OUTPUT. It
// writes a long answer of its own to the output file, then fails with an exception nobody
// catches; the error page must be the whole output then.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "faultline/capture/capture.h"

int main(int argc, char** argv) {
  FaultlineStart();
  if (argc >= 4) {
    if (FILE* out = std::fopen(argv[3], "wb")) {
      const std::string filler(64 * 1024, 'x');
      std::fwrite(filler.data(), 1, filler.size(), out);
      std::fclose(out);
    }
  }
  throw std::runtime_error("WinCGI <failure>");
}

// Throws an exception nobody catches: Faultline reports it (hello.flf beside the program, and on
// the console) with the call stack down to the throw, then the program ends.
#include <faultline/faultline.h>

#include <stdexcept>
#include <string>

namespace {

void LoadSettings(const std::string& path) {
  throw std::runtime_error("cannot read " + path);
}

}  // namespace

int main() {
  faultline::Start();
  faultline::SetValue("build", "hello-42");
  LoadSettings("settings.ini");
  faultline::Stop();
  return 0;
}

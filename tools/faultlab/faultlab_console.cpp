// The crash laboratory's console program: faultlab-console SCENARIO. Reports are written to the
// console and saved in faultlab-console.flf beside the program.
#include <cstdio>
#include <string>

#include "faultline/capture/capture.h"
#include "tools/faultlab/scenarios.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: faultlab-console SCENARIO\nscenarios: %s\n", ScenarioNames());
    return 2;
  }
  FaultlineStart();
  const int code = RunScenario(argv[1]);
  FaultlineStop();
  if (code < 0) {
    std::fprintf(stderr, "faultlab-console: unknown scenario \"%s\"\n", argv[1]);
    return 2;
  }
  return code;
}

// Stands in for a mail program registered for "mailto:": appends its command line to the file
// named by TARN_MAILTO_OUT and ends.
#include <windows.h>

#include <cstdio>

int main() {
  char out[1024];
  DWORD n = GetEnvironmentVariableA("TARN_MAILTO_OUT", out, sizeof out);
  if (n == 0 || n >= sizeof out) return 1;
  FILE* f = std::fopen(out, "ab");
  if (!f) return 1;
  std::fputs(GetCommandLineA(), f);
  std::fputs("\r\n", f);
  std::fclose(f);
  return 7;  // the exit code is not the delivery's business
}

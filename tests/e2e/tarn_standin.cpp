// Stands in for the launcher in end-to-end tests: leaves a marker in its working folder saying
// where it ran from, then exits.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char self[MAX_PATH] = {}, cwd[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  GetCurrentDirectoryA(MAX_PATH, cwd);
  HANDLE f = CreateFileA("launched.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 1;
  DWORD n = 0;
  WriteFile(f, self, lstrlenA(self), &n, nullptr);
  WriteFile(f, "\r\n", 2, &n, nullptr);
  WriteFile(f, cwd, lstrlenA(cwd), &n, nullptr);
  CloseHandle(f);
  return 0;
}

#pragma once
// The clock of the Windows benchmarks: seconds from the performance counter.
#include <windows.h>

inline double Now() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

#pragma once
// The dialog templates and bitmaps of the exception dialog, made in memory: a static library
// cannot bring resources of its own into the program that links it. Windows only.
#ifdef _WIN32
#include <windows.h>

// The extended dialog template of that name ("FL_DIALOG", "FL_REQUEST", "FL_SERVER",
// "FL_TAB_GENERAL", "FL_TAB_CALLSTACK", "FL_TAB_MODULESLIST", "FL_TAB_CPU", "FL_TAB_CUSTOMDATA"),
// case-insensitive; nullptr for another name. The templates live as long as the process.
const DLGTEMPLATE* FaultDialogTemplate(const char* name);

// A new bitmap of that name ("FL_ERROR", "FL_DLL", "FL_BPL", "FL_VCL", "FL_PAS", "FL_PLUS",
// "FL_MINUS"); the caller deletes it. Its top-left pixel has the transparent colour.
HBITMAP LoadFaultBitmap(const char* name);
// Draws a bitmap at (x, y) leaving out the colour of its top-left pixel.
void DrawTransparentBitmap(HDC dc, HBITMAP bitmap, int x, int y);
#endif

#pragma once
// What the exception dialog, the request dialog and the send progress window share: their fonts,
// the caption height and top-most state they take from the dialog flags, and the caption and frame
// they paint themselves when the options ask for own frame drawing. Windows only.
#ifdef _WIN32
#include <windows.h>

#include <string>

#include "faultline/options/options.h"

struct TDialogFonts {
  HFONT Caption = nullptr;  // bold, in the interface face, as high as the system caption font
  HFONT Message = nullptr;  // the system message font
  HFONT Link = nullptr;     // the message font, bold and underlined
  HFONT Text = nullptr;     // the fixed face, for the text pages
  HFONT List = nullptr;     // the list face, for the two lists
  int Size = 8;             // points of the text and list fonts
  int Charset = ANSI_CHARSET;  // of the user's default ANSI code page
  std::string FixedFace;
  void Create();
  void Destroy();
};

// The caption height a dialog gets: the small caption with own frame drawing, else the normal one.
int CaptionMetric(const TFaultModuleOptions& options);
// Top-most state and caption style from the dialog flags. secondary: the request dialog and the
// send progress window, which are also marked active and grow or shrink with the caption.
void ApplyCommonStyle(HWND window, const TFaultModuleOptions& options, bool secondary);
// The caption bands, the frame and the caption text of own frame drawing.
void PaintOwnFrame(HWND window, const TDialogFonts& fonts, const std::string& caption, bool active);
// Handles the non-client messages of own frame drawing for a dialog procedure; true when handled.
bool HandleOwnFrame(HWND window, UINT msg, WPARAM wp, LPARAM lp, const TDialogFonts& fonts,
                    const std::string& caption);

int TextWidthOf(HDC dc, const std::string& text);
// Whether the file can be opened for writing (a file made by the test is removed again).
bool FileWritable(const std::string& name);
#endif

#pragma once
// The decisions of the exception dialog that need no window: the rich text of the general and CPU
// pages, the rows of the call-stack and modules lists with their collapsible thread headers, the
// dialog's remembered geometry, the tab order of the pages, the bottom area and the source-location
// message. Portable; the Windows side draws what these compute.
#include <cstdint>
#include <string>
#include <vector>

#include "faultline/report/report_records.h"
#include "faultline/report/report_text.h"

// ---- rich text ----------------------------------------------------------------------------------

// The general text as an RTF document in the fixed face at pointSize: line 1 as title, header
// lines (ending in ":") bold, "-" lines as rules, "name: value" lines in two colours.
std::string GeneralRichText(const std::string& text, int charset, const std::string& face, int pointSize);
// The CPU section (of a 32- or a 64-bit context) as an RTF document. stackTabTwips: the tab stop
// between the stack and the dump columns.
std::string CpuRichText(const std::string& text, int charset, const std::string& face, int pointSize,
                        int stackTabTwips);
// Characters of the CPU section's stack column up to the dump column: 21, or 37 when the section
// shows a 64-bit context (16-digit addresses). The tab stop is as wide as this many characters.
size_t CpuStackColumnChars(const std::string& text);

// ---- pages --------------------------------------------------------------------------------------

enum TDialogPage : int { PageGeneral = 0, PageCallStack = 1, PageModules = 2, PageCpu = 3, PageCustom = 4 };

struct TDialogTabs {
  bool Modules = true;  // LogSections bit 0x10
  bool Cpu = true;      // LogSections bit 0x20
  bool Custom = false;  // the report carries custom data
  std::vector<int> Pages() const;            // the page of each tab, in tab order
  int TabOf(int page) const;                 // -1 when the page has no tab
  int FirstPage(uint8_t firstDialogPage) const;
};

// The height of the area under the buttons for the boxes that are offered.
int BottomAreaHeight(bool sendOffered, bool screenshotOffered, bool copyOffered, bool linkOffered);

// ---- geometry -----------------------------------------------------------------------------------

struct TDialogGeometry {
  int Width = 745;
  int Height = 468;
  int Left = 0;
  int Top = 0;
  int WindowState = 1;  // 1 normal, 3 maximized, 6 minimized
};
// Where the detailed dialog goes: the stored values (a missing left or top is centred), pulled back
// onto a screen of screenWidth x screenHeight. bottom: the bottom area height.
TDialogGeometry PlaceDialog(int screenWidth, int screenHeight, int width, int height, const int* left,
                            const int* top, int windowState, int bottom);

// ---- list rows ----------------------------------------------------------------------------------

// Row images, in the order of the row icons.
enum TRowImage : int { ImageNone = -1, ImageDll = 0, ImageBpl = 1, ImageVcl = 2, ImagePas = 3 };

struct TListRowSpec {
  std::vector<std::string> Cells;
  std::string HeaderText;
  bool Header = false;
  bool Running = false;
  int Image = ImageNone;
  // The entry's address, for the source-location message (see ModuleBuildTimeAt).
  uint64_t Address = 0;
};

// The call-stack rows: entries whose kind the stack flags show (an executable module's qualified
// export names are left out), each thread's rows under a header row, a blank row before each
// running thread after the first.
std::vector<TListRowSpec> CallStackRows(const TReportData& data, const TReportLayout& layout);
// One row per module; wideAddresses: a 64-bit program's handles, with 16 digits.
std::vector<TListRowSpec> ModuleRows(const std::vector<TFaultModuleInfo>& modules, bool wideAddresses = false);
// The build time of the module holding address (the one with the greatest handle not above it);
// 0 when there is none.
double ModuleBuildTimeAt(const std::vector<TFaultModuleInfo>& modules, uint64_t address);
// "5.1.2600.2180" -> "5.1.x"; versions with fewer than two dots stay as they are.
std::string ShortVersion(const std::string& version);
// The row image of a module file by its extension.
int ModuleImage(const std::string& path);

// The rows of an owner-drawn list with collapsible headers: which rows are indented, which header
// each belongs under, and which are visible after toggling.
class TListRowsModel {
 public:
  struct TRow {
    TListRowSpec Spec;
    bool Indented = false;
    bool Blank = false;   // not a header and every cell blank
    bool Expanded = true;
    bool Visible = true;
    int Parent = -1;      // the header above, for a nested header
  };

  void Add(TListRowSpec spec);
  // Flips a header row; returns false for other rows. The rows after it up to the next blank row
  // are hidden, or shown again except beyond a nested header that is itself collapsed.
  bool Toggle(size_t row);
  // Whether point (x, y), relative to the row's top-left, hits a header's sign.
  bool SignHit(size_t row, int x, int y, int indentStep) const;

  const std::vector<TRow>& Rows() const { return rows_; }
  // The position a visible row has among the visible rows (its list-view item index), or -1.
  int VisibleIndex(size_t row) const;

 private:
  std::vector<TRow> rows_;
  int level_ = 0;
  int lastParent_ = -1;
};

// ---- source location ----------------------------------------------------------------------------

// The 376-byte message a development environment listens for when a call-stack row is activated.
std::string SourceLocationMessage(const std::string& programFile, const std::string& unit,
                                  const std::string& className, const std::string& procedure, int32_t line,
                                  int32_t lineOffset, double buildTime);
// Line and offset from a line cell "123[4]" (offset -1 when there is none); false without a line.
bool ParseLineCell(const std::string& cell, int32_t& line, int32_t& offset);

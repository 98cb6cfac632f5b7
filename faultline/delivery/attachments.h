#pragma once
// The files that travel with a delivered report: their names, the attachment list and the archive.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "faultline/delivery/file_access.h"

// Fixed names of the temporary report files (in the user's temporary folder).
inline constexpr char kScreenshotFileName[] = "Screenshot.png";
inline constexpr char kLastHtmlPageFileName[] = "LastHTMLPage.html";
inline constexpr char kArchiveFileName[] = "CompressFiles.tgz";

// Bits of SendFlags that packaging reads.
enum : uint16_t {
  SendXmlCopy = 0x0008,
  SendScreenshot = 0x0010,
  SendLastHtmlPage = 0x0040,
  SendTimeStampNames = 0x0100,
  SendCompressed = 0x0200,
};

// The name a file is shown and sent under: its file name, or with SendTimeStampNames
// base name + "_" + exception time as "yyyymmddhhnnss" + its extension.
std::string AttachmentDisplayName(const std::string& path, uint16_t sendFlags, double exceptionTime);

// Files around a report, all in the temporary folder (which ends with a separator). Empty names
// mean "none" for this configuration.
struct TReportFileNames {
  std::string LogCopy;      // temp + file name of the log
  std::string XmlCopy;      // with SendFlags 0x0008: the log copy's name with ".xml"
  std::string Screenshot;   // with SendFlags 0x0010: temp + "Screenshot.png"
  std::string Archive;      // temp + "CompressFiles.tgz"
  std::string LastWebPage;  // with SendFlags 0x0040: temp + "LastHTMLPage.html"
};
TReportFileNames ReportFileNames(const std::string& tempFolder, const std::string& logFileName,
                                 uint16_t sendFlags);

// What a delivery run knows when it builds the list.
struct TAttachmentSources {
  std::string ExtraFiles;        // ";"-separated
  bool LogAppend = false;
  uint16_t SendFlags = 0;
  bool AttachScreenshot = false;  // starts as SendFlags & SendScreenshot; the dialog may change it
  bool HasLastHtmlPage = false;   // a last HTML page text exists
  double ExceptionTime = 0;
  std::string ReportCopyPath;     // always written before delivery
  std::string XmlCopyPath;
  std::string ScreenshotPath;     // empty unless SendScreenshot
  std::string MinidumpPath;       // empty unless the report wrote a minidump
  std::string LastHtmlPagePath;   // empty unless SendLastHtmlPage
  std::string ArchivePath;
};

// The attached-files request: the capture layer calls the module's exported handler and the
// registered handlers here; they may add or remove paths.
using TAttachedFilesRequest = std::function<void(std::vector<std::string>& files)>;

// Fills list (cleared first): extra files, report copy (not for e-mail with LogAppend), screenshot,
// minidump, last HTML page, XML copy, then the request, then drops files that do not exist; with
// SendCompressed the list is packed into the archive and replaced by the archive's path.
void BuildAttachmentList(std::vector<std::string>& list, const TAttachmentSources& sources, bool forEmail,
                         const TAttachedFilesRequest& request, TFaultFileAccess& files);

// Packs files under their display names into a gzip-compressed tar at archivePath (an existing
// file there is deleted first). Nothing happens for an empty list.
void BuildArchive(const std::string& archivePath, const std::vector<std::string>& fileList, uint16_t sendFlags,
                  double exceptionTime, TFaultFileAccess& files);

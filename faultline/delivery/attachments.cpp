#include "faultline/delivery/attachments.h"

#include <algorithm>

#include "rtl/ansi_paths.h"
#include "faultline/delivery/tgz_writer.h"

std::string AttachmentDisplayName(const std::string& path, uint16_t sendFlags, double exceptionTime) {
  std::string name = PathFileName(path);
  if (!(sendFlags & SendTimeStampNames)) return name;
  std::string ext = PathFileExt(name);
  return PathChangeExt(name, "") + "_" + FormatDateTimeStamp(exceptionTime) + ext;
}

namespace {

std::string TrimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

}  // namespace

void BuildAttachmentList(std::vector<std::string>& list, const TAttachmentSources& sources, bool forEmail,
                         const TAttachedFilesRequest& request, TFaultFileAccess& files) {
  list.clear();
  size_t start = 0;
  const std::string& extra = sources.ExtraFiles;
  while (start <= extra.size()) {
    size_t end = extra.find(';', start);
    if (end == std::string::npos) end = extra.size();
    std::string piece = TrimBlanks(extra.substr(start, end - start));
    if (!piece.empty()) list.push_back(piece);
    start = end + 1;
  }
  if (!(forEmail && sources.LogAppend)) list.push_back(sources.ReportCopyPath);
  if (!sources.ScreenshotPath.empty() && sources.AttachScreenshot) list.push_back(sources.ScreenshotPath);
  if (!sources.MinidumpPath.empty()) list.push_back(sources.MinidumpPath);
  if (!sources.LastHtmlPagePath.empty() && sources.HasLastHtmlPage) list.push_back(sources.LastHtmlPagePath);
  if (sources.SendFlags & SendXmlCopy) list.push_back(sources.XmlCopyPath);
  if (request) request(list);
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const std::string& path) { return path.empty() || !files.Exists(path); }),
             list.end());
  if (sources.SendFlags & SendCompressed) {
    BuildArchive(sources.ArchivePath, list, sources.SendFlags, sources.ExceptionTime, files);
    // An empty list builds no archive; it then stays empty rather than naming a file that is not
    // there.
    if (!list.empty()) list.assign(1, sources.ArchivePath);
  }
}

void BuildArchive(const std::string& archivePath, const std::vector<std::string>& fileList, uint16_t sendFlags,
                  double exceptionTime, TFaultFileAccess& files) {
  if (fileList.empty()) return;
  files.Remove(archivePath);
  TTGZWriter writer(archivePath, files);
  for (const std::string& path : fileList)
    writer.AddFile(path, AttachmentDisplayName(path, sendFlags, exceptionTime));
  writer.Finish();
}

TReportFileNames ReportFileNames(const std::string& tempFolder, const std::string& logFileName,
                                 uint16_t sendFlags) {
  TReportFileNames n;
  n.LogCopy = tempFolder + PathFileName(logFileName);
  if (sendFlags & SendXmlCopy) n.XmlCopy = PathChangeExt(n.LogCopy, ".xml");
  if (sendFlags & SendScreenshot) n.Screenshot = tempFolder + kScreenshotFileName;
  n.Archive = tempFolder + kArchiveFileName;
  if (sendFlags & SendLastHtmlPage) n.LastWebPage = tempFolder + kLastHtmlPageFileName;
  return n;
}

#pragma once
// Pages of a log for reading in a browser straight from disk: an index of the groups linking to
// one page per report. No script and no server; every value from a report is escaped (a report
// is hostile input) and converted from GBK to UTF-8.
#include <functional>
#include <string>
#include <vector>

#include "tools/flreader/log_input.h"
#include "tools/flreader/report_group.h"

struct THtmlResult {
  int Reports = 0;
  int Groups = 0;
};

// Writes DIR/index.html and DIR/report-N.html (N from 1, the oldest first), and beside them the
// screenshot an archive holds (shown on the newest report's page: the one the archive was sent
// for). Creates DIR. Throws std::exception when a file cannot be written.
THtmlResult WriteHtmlPages(const std::string& input, const std::string& folder, const std::string& password);

// Text made safe for HTML element content and quoted attribute values.
std::string HtmlEscape(const std::string& utf8);

struct TPageLink {
  std::string Address, Text;  // plain text: the page escapes them
};

// The index page of groups: title (escaped HTML) in the head, subtitle (escaped HTML) under the
// heading, one row per group with a link to each of its reports.
std::string GroupIndexPage(const std::string& title, const std::string& subtitle,
                           const std::vector<TReportGroup>& groups, int reports,
                           const std::function<TPageLink(const TReportRef&)>& link);

#include "faultline/web/error_page.h"

#include <gtest/gtest.h>

#include "faultline/options/options.h"

namespace {

const std::string kMarker = WebPageMarker(0x00AB12CD);

std::string Page(const std::string& pageTemplate, const std::string& content = "X") {
  return WebErrorPage(pageTemplate, "<html><%HTML_TAG%></html>", "Error.", content, kMarker);
}

}  // namespace

TEST(WebErrorPage, EscapesEverySpecialCharacterOnceInOrder) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"<script>alert(\"x\")</script>", "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;"},
      {"a & b's", "a &amp; b&#039;s"},
      {"&lt;", "&amp;lt;"},  // an entity in the text stays visible as typed
      {"a  b   c", "a&nbsp;&nbsp;b&nbsp;&nbsp; c"},
      {"one\r\ntwo\nthree", "one<br>\r\ntwo\nthree"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(WebEscape(c.in), c.out) << c.in;
}

TEST(WebErrorPage, MarkerIsEightUpperCaseHexDigits) {
  EXPECT_EQ(kMarker, "<!-- Faultline ID: 00AB12CD -->");
  EXPECT_EQ(WebPageMarker(0xFFFFFFFF), "<!-- Faultline ID: FFFFFFFF -->");
}

TEST(WebErrorPage, TemplatesPlaceholderAndTitle) {
  struct Case {
    std::string pageTemplate, page;
  } cases[] = {
      // No title: one is put in front.
      {"<p><%HTML_TAG%></p>", "<title>Error.</title><p>X</p>"},
      // The placeholder in any case still receives the content.
      {"<title>T</title><p><%html_Tag%></p>", "<title>T</title><p>X</p>"},
      // Without a placeholder the template stays as it is.
      {"<title>T</title><p>static</p>", "<title>T</title><p>static</p>"},
      // Every upper-case placeholder is filled.
      {"<TITLE>T</Title><%HTML_TAG%>|<%HTML_TAG%>", "<TITLE>T</Title>X|X"},
      // A closing tag only before the opening one does not count as a title.
      {"</title><title><%HTML_TAG%>", "<title>Error.</title></title><title>X"},
      // Blanks and control characters only: the default template.
      {" \r\n\t ", "<title>Error.</title><html>X</html>"},
  };
  for (const Case& c : cases) EXPECT_EQ(Page(c.pageTemplate), c.page + kMarker) << c.pageTemplate;
}

TEST(WebErrorPage, ContentIsNotSearchedForPlaceholders) {
  EXPECT_EQ(Page("<title>t</title><%HTML_TAG%>", "<%HTML_TAG%>"), "<title>t</title><%HTML_TAG%>" + kMarker);
}

TEST(WebErrorPage, ReportPageShowsTheTextAndAlwaysHasTheButton) {
  const std::string text = "<b>bad</b> \"quoted\"";
  const std::string withPlaceholder = WebReportPage(text, "<title>t</title><%HTML_TAG%>", "", "Error.", kMarker);
  EXPECT_EQ(withPlaceholder,
            "<title>t</title>&lt;b&gt;bad&lt;/b&gt; &quot;quoted&quot;" + std::string(kWebOkButton) + kMarker);
  const std::string without = WebReportPage(text, "<title>t</title>static", "", "Error.", kMarker);
  EXPECT_EQ(without, "<title>t</title>static" + kMarker + kWebOkButton);
  // The program's default template holds the placeholder: the text lands inside it.
  const std::string byDefault = WebReportPage("boom", "", DefaultPageTemplate(), "Error.", kMarker);
  EXPECT_NE(byDefault.find(std::string("boom") + kWebOkButton), std::string::npos);
  EXPECT_EQ(byDefault.find("<%HTML_TAG%>"), std::string::npos);
}

TEST(WebErrorPage, HeaderCountsBytesAndEndsWithAnEmptyLine) {
  EXPECT_EQ(WebResponseHeader(1234, true),
            "Status: 200 Error\r\nCache-Control: no-cache\r\nExpires: 0\r\nContent-Type: text/html\r\n"
            "Content-Length: 1234\r\nContent:\r\n\r\n");
  EXPECT_EQ(WebResponseHeader(0, false).rfind("Cache-Control: no-cache\r\n", 0), 0u);
}

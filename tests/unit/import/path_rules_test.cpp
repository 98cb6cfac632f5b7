#include "import/path_rules.h"

#include <gtest/gtest.h>

#include "import/import_texts.h"

struct TNameCase {
  const char* Path;
  const char* Name;
  const char* Dir;
  const char* Ext;
  const char* Bare;
};

TEST(PathRules, SplitsNamesDirectoriesAndExtensions) {
  const TNameCase cases[] = {
      {"C:\\Users\\a\\Desktop\\QQ.lnk", "QQ.lnk", "C:\\Users\\a\\Desktop\\", ".lnk", "QQ"},
      {"C:\\d\\a.b.txt", "a.b.txt", "C:\\d\\", ".txt", "a.b"},
      {"C:\\d\\README", "README", "C:\\d\\", "", "README"},
      {"C:\\d\\.profile", ".profile", "C:\\d\\", ".profile", ""},
      {"C:\\dir.x\\file", "file", "C:\\dir.x\\", "", "file"},
      {"C:file.EXE", "file.EXE", "C:", ".EXE", "file"},
      {"plain", "plain", "", "", "plain"},
      {"C:\\d\\", "", "C:\\d\\", "", ""},
      // A GBK character whose trail byte is a backslash (0x95 0x5C) is part of the name.
      {"C:\\d\\\x95\x5C.txt", "\x95\x5C.txt", "C:\\d\\", ".txt", "\x95\x5C"},
      {"C:\\\x95\x5C\\x.doc", "x.doc", "C:\\\x95\x5C\\", ".doc", "x"},
  };
  for (const TNameCase& c : cases) {
    SCOPED_TRACE(c.Path);
    EXPECT_EQ(ExtractFileName(c.Path), c.Name);
    EXPECT_EQ(ExtractFilePath(c.Path), c.Dir);
    EXPECT_EQ(ExtractFileExt(c.Path), c.Ext);
    EXPECT_EQ(FileNameWithoutExt(c.Path), c.Bare);
  }
}

TEST(PathRules, LastComponentIsTextAfterLastBackslash) {
  EXPECT_EQ(LastPathComponent("C:\\WINDOWS"), "WINDOWS");
  EXPECT_EQ(LastPathComponent("C:\\Documents and Settings\\All Users\\桌面"), "桌面");
  EXPECT_EQ(LastPathComponent("C:\\"), "");
  EXPECT_EQ(LastPathComponent("C:\\\x95\x5C"), "\x95\x5C");
}

TEST(PathRules, ListingSkipsExactlyTheReservedNames) {
  for (const char* name : {".", "..", "desktop.ini", ManagedFolderName, RestoreBatchName})
    EXPECT_TRUE(IsSkippedListingName(name)) << name;
  for (const char* name : {"Desktop.ini", "DESKTOP.INI", "desktop.ini.bak", "...", "a"})
    EXPECT_FALSE(IsSkippedListingName(name)) << name;
}

TEST(PathRules, FixedTextsAreGbk) {
  // "被Tarn管理的快捷方式" in code page 936.
  EXPECT_EQ(std::string(ManagedFolderName),
            "\xB1\xBB" "Tarn" "\xB9\xDC\xC0\xED\xB5\xC4\xBF\xEC\xBD\xDD\xB7\xBD\xCA\xBD");
  EXPECT_EQ(std::string(RestoreBatchName).substr(std::string(RestoreBatchName).size() - 4), ".bat");
}

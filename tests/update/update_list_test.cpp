#include <gtest/gtest.h>

#include "tests/support/TestFiles.h"
#include "tests/update/UpdateTestSupport.h"
#include "update/FileVersion.h"
#include "update/UpdateList.h"

namespace {

class UpdateListTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testfiles::MakeTempDir("vt-list-"); }
  std::string Write(const std::string& name, const std::string& bytes) {
    testfiles::WriteFile(dir_ + name, bytes);
    return dir_ + name;
  }
  std::string dir_;
};

struct SyntaxCase {
  const char* text;
  bool loads;
  const char* note;
  const char* entries;  // name|version|md5|zipped; ...
};

std::string Describe(CUpdateList& list) {
  std::string out;
  list.Rewind();
  while (list.Next()) {
    const UpdateEntry* e = list.CurrentEntry();
    out += e->name + "|" + e->version + "|" + e->md5 + "|" + std::to_string(e->zipped) + ";";
  }
  return out;
}

class ListSyntax : public UpdateListTest, public ::testing::WithParamInterface<SyntaxCase> {};

TEST_P(ListSyntax, LoadsEntriesAndNote) {
  CUpdateList list;
  EXPECT_EQ(list.Load(Write("list", GetParam().text)), GetParam().loads);
  EXPECT_EQ(list.GetReleaseNote(), GetParam().note);
  EXPECT_EQ(Describe(list), GetParam().entries);
}

INSTANTIATE_TEST_SUITE_P(
    Both, ListSyntax,
    ::testing::Values(
        SyntaxCase{"<?xml version=\"1.0\"?>\r\n<Update><ReleaseNote>Fixes &amp; more</ReleaseNote>"
                   "<File path=\"sub\\\" name=\"a.dll\" version=\"1.2\" md5=\"ab\" zipped=\"true\"/>"
                   "<Other name=\"x\"/><File name=\"b\" zipped=\"TRUE\"/></Update>",
                   true, "Fixes & more", "sub\\a.dll|1.2|ab|1;b|||0;"},
        SyntaxCase{"<?xml version=\"1.0\"?><Update><File name=\"b\"/></Update>", true, "No message.", "b|||0;"},
        // Not well formed: read as INI, which finds no sections.
        SyntaxCase{"<?xml version=\"1.0\"?><Update><File name=\"b\"></Update>", false, "", ""},
        SyntaxCase{"[ReleaseNote]\ntext=New build\n[a.dll]\ndirectory=sub\\\nversion=1.0.0.2\nmd5=cd\n"
                   "zipped=true\n[skip]\n__TYPE=meta\n[data.bin]\nzipped=yes\n",
                   true, "New build", "sub\\a.dll|1.0.0.2|cd|1;data.bin|0.0.0.0||0;"},
        SyntaxCase{"[a.dll]\nversion=1.0.0.2\n", false, "", "a.dll|1.0.0.2||0;"}));

TEST(VersionText, PiecesAndOrder) {
  using update::ParseVersionText;
  EXPECT_EQ(ParseVersionText("1.2"), ParseVersionText("1.2.0.0"));
  EXPECT_EQ(ParseVersionText("1..2"), ParseVersionText("1.2.0.0"));
  EXPECT_EQ(ParseVersionText(" 1, 2\t3.4.5"), (update::FileVersion{0x10002, 0x30004}));
  EXPECT_EQ(ParseVersionText("0000000001234.1"), (update::FileVersion{1, 0}));  // cut to 9 digits
  EXPECT_LT(ParseVersionText("1.65535.9.9"), ParseVersionText("2"));
  EXPECT_LT(ParseVersionText("0.0.0.9"), ParseVersionText("0.0.1"));
  EXPECT_TRUE(ParseVersionText("x").IsZero());
}

struct RuleCase {
  const char* local;  // "elf:a.b.c.d", "data:<bytes>", "cut" (damaged ELF) or "" for none
  const char* version;
  const char* md5;  // "=" : the local data's digest in lower case; "!" : another digest
  bool needs;
};

class UpdateRule : public UpdateListTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(UpdateRule, ComparesVersionThenDigest) {
  const RuleCase& c = GetParam();
  const std::string local = c.local;
  std::string bytes;
  if (local.rfind("elf:", 0) == 0) {
    const update::FileVersion v = update::ParseVersionText(local.substr(4));
    bytes = updatetest::VersionedElf(v.high >> 16, v.high & 0xFFFF, v.low >> 16, v.low & 0xFFFF);
  } else if (local == "cut") {
    bytes = updatetest::VersionedElf(9, 9, 9, 9).substr(0, 70);
  } else {
    bytes = local.substr(local.find(':') + 1);
  }
  std::string md5 = c.md5;
  if (md5 == "=") {
    md5 = updatetest::Md5Of(bytes);
    for (char& ch : md5) ch = static_cast<char>(std::tolower(ch));
  } else if (md5 == "!") {
    md5 = updatetest::Md5Of(bytes + "x");
  }
  const std::string path = dir_ + "f";
  if (!local.empty()) testfiles::WriteFile(path, bytes);
  CUpdateList list;
  ASSERT_TRUE(list.Load(Write("list.ini", std::string("[ReleaseNote]\ntext=n\n[f]\nversion=") + c.version +
                                              "\nmd5=" + md5 + "\n")));
  list.Rewind();
  ASSERT_TRUE(list.Next());
  EXPECT_EQ(list.NeedsUpdate(path), c.needs);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UpdateRule,
    ::testing::Values(RuleCase{"elf:1.0.0.1", "1.0.0.2", "", true},         // lower
                      RuleCase{"elf:1.0.0.2", "1.0.0.2", "!", false},       // equal, not zero
                      RuleCase{"elf:1.0.0.3", "1.0.0.2", "!", false},       // newer local
                      RuleCase{"elf:0.1.0.0", "0.0.9.9", "!", false},       // high part decides
                      RuleCase{"data:abc", "0.0.0.0", "=", false},          // zero, same digest
                      RuleCase{"data:abc", "0", "!", true},                 // zero, other digest
                      RuleCase{"data:abc", "0.0.0.0", "", false},           // zero, no digest
                      RuleCase{"cut", "0.0.0.0", "!", true},                // damaged ELF is 0.0.0.0
                      RuleCase{"", "0.0.0.0", "!", true},                   // missing never matches
                      RuleCase{"", "0.0.0.1", "", true}));                  // missing is 0.0.0.0

}  // namespace

#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>

#include "infra/MD5Digest.h"
#include "tests/support/TestFiles.h"
#include "update/FileVersion.h"
#include "update/UpdateList.h"

namespace {

// A minimal ELF64 file: header, one SHT_NOTE section holding our version note, the section
// table at the end.
std::string VersionedElf(const update::FileVersion& v) {
  std::string note(28, '\0');
  const uint32_t header[3] = {7, 8, 0x56455253};
  const uint16_t parts[4] = {uint16_t(v.high >> 16), uint16_t(v.high), uint16_t(v.low >> 16), uint16_t(v.low)};
  std::memcpy(note.data(), header, 12);
  std::memcpy(note.data() + 12, "Vantor", 7);
  std::memcpy(note.data() + 20, parts, 8);
  Elf64_Ehdr elf{};
  std::memcpy(elf.e_ident, ELFMAG, SELFMAG);
  elf.e_ident[EI_CLASS] = ELFCLASS64;
  elf.e_shentsize = sizeof(Elf64_Shdr);
  elf.e_shnum = 2;
  elf.e_shoff = sizeof(elf) + note.size();
  Elf64_Shdr sections[2]{};
  sections[1].sh_type = SHT_NOTE;
  sections[1].sh_offset = sizeof(elf);
  sections[1].sh_size = note.size();
  return std::string(reinterpret_cast<const char*>(&elf), sizeof(elf)) + note +
         std::string(reinterpret_cast<const char*>(sections), sizeof(sections));
}

std::string Md5Of(const std::string& bytes) {
  CMD5Digest digest;
  digest.Update(bytes.data(), static_cast<int>(bytes.size()));
  return digest.GetHexDigest();
}

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
  const char *text;
  bool loads;
  const char *note, *entries;  // entries: "name|version|md5|zipped;" each
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

// local: "elf:a.b.c.d", "data:<bytes>", "cut" (damaged ELF) or "" for none; md5: "=" the
// local data's digest in lower case, "!" another digest.
struct RuleCase {
  const char *local, *version, *md5;
  bool needs;
};

class UpdateRule : public UpdateListTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(UpdateRule, ComparesVersionThenDigest) {
  const RuleCase& c = GetParam();
  const std::string local = c.local;
  const std::string bytes = local.rfind("elf:", 0) == 0 ? VersionedElf(update::ParseVersionText(local.substr(4)))
                            : local == "cut"             ? VersionedElf({0x90009, 0x90009}).substr(0, 70)
                                                         : local.substr(local.find(':') + 1);
  std::string md5 = c.md5;
  if (md5 == "=") {
    md5 = Md5Of(bytes);
    for (char& ch : md5) ch = static_cast<char>(std::tolower(ch));
  } else if (md5 == "!") {
    md5 = Md5Of(bytes + "x");
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

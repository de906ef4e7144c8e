#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

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
  return digest.Update(bytes.data(), static_cast<int>(bytes.size())), digest.GetHexDigest();
}

class UpdateListTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    testfiles::WriteFile(dir_ + name, bytes);
    return dir_ + name;
  }
  std::string dir_ = testfiles::MakeTempDir("vt-list-");
};

TEST_F(UpdateListTest, LoadsEntriesAndNoteOfBothSyntaxes) {
  const struct { const char* text; bool loads; const char *note, *entries; } rows[] = {
      {"<?xml version=\"1.0\"?>\r\n<Update><ReleaseNote>Fixes &amp; more</ReleaseNote>"
       "<File path=\"sub\\\" name=\"a.dll\" version=\"1.2\" md5=\"ab\" zipped=\"true\"/>"
       "<Other name=\"x\"/><File name=\"b\" zipped=\"TRUE\"/></Update>",
       true, "Fixes & more", "sub\\a.dll|1.2|ab|1;b|||0;"},
      {"<?xml version=\"1.0\"?><Update><File name=\"b\"/></Update>", true, "No message.", "b|||0;"},
      // Not well formed: read as INI, which finds no sections.
      {"<?xml version=\"1.0\"?><Update><File name=\"b\"></Update>", false, "", ""},
      {"[ReleaseNote]\ntext=New build\n[a.dll]\ndirectory=sub\\\nversion=1.0.0.2\nmd5=cd\n"
       "zipped=true\n[skip]\n__TYPE=meta\n[data.bin]\nzipped=yes\n",
       true, "New build", "sub\\a.dll|1.0.0.2|cd|1;data.bin|0.0.0.0||0;"},
      {"[a.dll]\nversion=1.0.0.2\n", false, "", "a.dll|1.0.0.2||0;"}};
  for (const auto& row : rows) {
    CUpdateList list;
    EXPECT_EQ(list.Load(Write("list", row.text)), row.loads) << row.text;
    EXPECT_EQ(list.GetReleaseNote(), row.note);
    std::string entries;  // "name|version|md5|zipped;" each
    for (list.Rewind(); list.Next();) {
      const UpdateEntry* e = list.CurrentEntry();
      entries += e->name + "|" + e->version + "|" + e->md5 + "|" + std::to_string(e->zipped) + ";";
    }
    EXPECT_EQ(entries, row.entries);
  }
}

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
TEST_F(UpdateListTest, ComparesVersionThenDigest) {
  const struct { const char *local, *version, *md5; bool needs; } rows[] = {
      {"elf:1.0.0.1", "1.0.0.2", "", true}, {"elf:1.0.0.2", "1.0.0.2", "!", false},  // lower, equal
      {"elf:1.0.0.3", "1.0.0.2", "!", false}, {"elf:0.1.0.0", "0.0.9.9", "!", false},  // newer, high part decides
      {"data:abc", "0.0.0.0", "=", false}, {"data:abc", "0", "!", true},  // zero version: the digest decides
      {"data:abc", "0.0.0.0", "", false}, {"cut", "0.0.0.0", "!", true},  // no digest; damaged ELF is 0.0.0.0
      {"", "0.0.0.0", "!", true}, {"", "0.0.0.1", "", true}};             // missing: never matches, is 0.0.0.0
  for (const auto& row : rows) {
    const std::string local = row.local, path = dir_ + "f";
    const std::string bytes = local.rfind("elf:", 0) == 0 ? VersionedElf(update::ParseVersionText(local.substr(4)))
                              : local == "cut"             ? VersionedElf({0x90009, 0x90009}).substr(0, 70)
                                                           : local.substr(local.find(':') + 1);
    std::string md5 = *row.md5 == '=' ? Md5Of(bytes) : *row.md5 == '!' ? Md5Of(bytes + "x") : "";
    if (*row.md5 == '=') for (char& ch : md5) ch = static_cast<char>(std::tolower(ch));
    std::filesystem::remove(path);
    if (!local.empty()) testfiles::WriteFile(path, bytes);
    CUpdateList list;
    ASSERT_TRUE(list.Load(Write("list.ini", std::string("[ReleaseNote]\ntext=n\n[f]\nversion=") + row.version +
                                                "\nmd5=" + md5 + "\n")));
    list.Rewind();
    ASSERT_TRUE(list.Next());
    EXPECT_EQ(list.NeedsUpdate(path), row.needs) << row.local << " " << row.version << " " << row.md5;
  }
}

}  // namespace

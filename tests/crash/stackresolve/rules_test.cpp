// The line rules of stackresolve, fed as text: the places where a layout is matched by
// length or a value is dropped are where a wrong script goes unnoticed.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "crash/stackresolve/CommandScript.h"
#include "crash/stackresolve/ConsoleReport.h"
#include "crash/stackresolve/DebuggerLogReader.h"
#include "crash/stackresolve/HexToken.h"

namespace stackresolve {
namespace {

TEST(HexToken, ConversionAndCutRules) {
  struct Row { const char* text; uint64_t value32, value64; };
  const Row rows[] = {
      {"1f", 0, 0}, {"01f", 0x1f, 0x1f}, {"0044F000", 0x44f000, 0x44f000},  // fewer than three characters: 0
      {"0x401000", 0, 0}, {"0040 000", 0, 0},                                 // "x" and " " are no digits
      {"123456789", 0x23456789, 0x123456789},                                 // the ninth digit wraps out of 32 bits
      {"00007ffff7c29d90", 0xf7c29d90, 0x7ffff7c29d90},
      {"100007ffff7c29d90", 0xf7c29d90, 0x7ffff7c29d90}};  // the seventeenth out of 64
  for (const Row& row : rows) {
    EXPECT_EQ(HexToUInt32(row.text), row.value32) << row.text;
    EXPECT_EQ(HexToUInt64(row.text), row.value64) << row.text;
  }
  EXPECT_EQ(CutToken("0012f5c4  0040 x", TokenSet::StackLine), "0012f5c4  0040 ");
  EXPECT_EQ(CutToken("0040abcd 7c", TokenSet::StackWord), "0040abcd");
  EXPECT_EQ(CutToken("00g0G000-1", TokenSet::ModulesIniAddress), "00g0G000");
  EXPECT_EQ(CutToken("0x40123X 1", TokenSet::StackIniWord), "0x40123X");
}

CDebuggerLogReader Feed(const std::vector<std::string>& lines, size_t* taken = nullptr) {
  CDebuggerLogReader reader;
  size_t n = 0;
  while (n < lines.size() && reader.FeedLine(lines[n++])) {}
  if (taken) *taken = n;
  return reader;
}

std::tuple<std::string, uint64_t, uint64_t> Fields(const ModuleRange& m) { return {m.name, m.start, m.end}; }

const std::string kStack32 = "0012f5c4  00401234 7c90e920 00000000 0044f000";
const std::string kStack64 =
    "00007ffc71088b28  00005611eac5b2e8 0000000000000000 00007f616284524a 0000000300000000";

TEST(DebuggerLogReader, ModuleListEndsAtItsFirstEmptyLineStackDumpAtItsFirstOtherLineWordsAtTheHeadingsWidth) {
  size_t taken = 0;
  CDebuggerLogReader reader = Feed({"00400000 0044f000   before heading", "> modules", std::string(kModuleListHeading),
                                    "00400000 0044f000   main   (deferred)", "", "71ab0000 71ac7000   ws2help.dll",
                                    kStack32, kStack32 + " ", kStack32},
                                   &taken);
  EXPECT_EQ(taken, 8u);  // the 46-character line ended the dump
  ASSERT_EQ(reader.Modules().size(), 1u);
  EXPECT_EQ(Fields(reader.Modules()[0]), Fields({"main   (deferred)", 0x400000, 0x44f000}));
  EXPECT_EQ(reader.StackLines(), std::vector<std::string>{kStack32.substr(10)});
  EXPECT_EQ(reader.WordDigits(), 8u);
  // 44 hex characters and a stray letter in 45 are module lines; "quit:" ends at once.
  reader = Feed({std::string(kModuleListHeading), kStack32.substr(1), kStack32.substr(0, 44) + "g", "quit:",
                 "7c900000 7c9af000   ntdll"},
                &taken);
  EXPECT_EQ(taken, 4u);
  EXPECT_EQ(reader.Modules().size(), 2u);
  EXPECT_TRUE(reader.StackLines().empty());
  // The 64-bit heading selects sixteen-digit columns.
  reader = Feed({std::string(kModuleListHeading64),
                                    "00005611eac5a000 00005611eac5f000   crash_fault_host", "", kStack32,
                                    kStack64, kStack64 + " "});
  ASSERT_EQ(reader.Modules().size(), 1u);
  EXPECT_EQ(Fields(reader.Modules()[0]), Fields({"crash_fault_host", 0x5611eac5a000, 0x5611eac5f000}));
  EXPECT_EQ(reader.StackLines(), std::vector<std::string>{kStack64.substr(18)});  // a 45 is skipped
  EXPECT_EQ(reader.WordDigits(), 16u);
}

TEST(CommandScript, CountsWordsOfTheLogsWidthInModulesAndCommentsOutRepeats) {
  const std::vector<ModuleRange> main = {{"main   (deferred)", 0x400000, 0x44f000}};
  EXPECT_EQ(BuildCommandScript(main, {"00401234 7c90e920 00000000 0044f000", "0044f001 00401234 003ffff0 00400000"}),
            "*Dump main   (deferred)\nU 0x00401234 L-30;U 0x00401234 L30\n"
            "*Dump main   (deferred)\nU 0x0044f000 L-30;U 0x0044f000 L30\n"  // the end counts
            "*Dump main   (deferred)\n* 0x00401234 L-30;U 0x00401234 L30\n"
            "*Dump main   (deferred)\nU 0x00400000 L-30;U 0x00400000 L30\nq\n");
  EXPECT_EQ(BuildCommandScript({}, {"00401234 7c90e920 00000000 0044f000"}), "q\n");

  // Words that do not count still mark their value seen: 00000fff is below the bound,
  // "1234" too short; a 9-digit token in a 32-bit log is remembered as its low 32 bits.
  EXPECT_EQ(BuildCommandScript({{"low", 0, 0xffff}}, {"00000fff 1234 00001234 100002000 00002000 x0002000"}),
            "*Dump low\n* 0x00001234 L-30;U 0x00001234 L30\n*Dump low\n* 0x00002000 L-30;U 0x00002000 L30\nq\n");

  // 16-digit words keep their upper half; an 8-digit token does not count there.
  const std::vector<ModuleRange> wide = {{"host", 0x5611eac5a000, 0x5611eac5f000}, {"low32", 0xeac5a000, 0xeac5f000}};
  EXPECT_EQ(BuildCommandScript(wide, {"00005611eac5b2e8 eac5b2e8 00000000eac5b2e8 00005611eac5b2e8"}, 16),
            "*Dump host\nU 0x00005611eac5b2e8 L-30;U 0x00005611eac5b2e8 L30\n"
            "*Dump low32\n* 0x00000000eac5b2e8 L-30;U 0x00000000eac5b2e8 L30\n"
            "*Dump host\n* 0x00005611eac5b2e8 L-30;U 0x00005611eac5b2e8 L30\nq\n");
}

TEST(ConsoleReport, ReadsTabAndPrefixedLayouts) {
  struct Row { const char* line; const char* name; uint32_t start, end; };
  const Row rows[] = {  // the plain layouts are the run test's
      {"main.exe\t  00400000 0044f000  \t", "main.exe", 0x400000, 0x44f000},
      {"lonely\t00400000-0044f000", "lonely", 0, 0},  // no second tab: no address field
      {"Loaded:  0040000g 0044f000 x", "  Loaded:  0040000g 0044f000 x", 0, 0x44f000},
  };
  for (const Row& row : rows) EXPECT_EQ(Fields(ParseModulesIniLine(row.line)), Fields({row.name, row.start, row.end}));
  const std::vector<ModuleRange> modules = {{"broken", 0, 0}, {"low", 0, 0x1fff}};
  EXPECT_EQ(ReportStackIniLine("0x401234 00000fff 0fff", modules),
            "broken [00000000-00000000] - 0x00000000\n"
            "low [00000000-00001fff] - 0x00000000\n"
            "low [00000000-00001fff] - 0x00000fff\n");
}

}  // namespace
}  // namespace stackresolve

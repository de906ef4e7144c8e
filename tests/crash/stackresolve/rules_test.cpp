// The line rules of stackresolve, fed as text: the places where a layout is matched by
// length or a value is dropped are where a wrong script goes unnoticed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crash/stackresolve/CommandScript.h"
#include "crash/stackresolve/ConsoleReport.h"
#include "crash/stackresolve/DebuggerLogReader.h"
#include "crash/stackresolve/HexToken.h"

namespace stackresolve {
namespace {

TEST(HexToUInt32, FollowsTheConversionRules) {
  struct Row { const char* text; uint32_t value; };
  const Row rows[] = {
      {"1f", 0},                  // fewer than three characters
      {"01f", 0x1f},
      {"0044F000", 0x44f000},
      {"0x401000", 0},            // "x" is not a digit
      {"0040 000", 0},
      {"123456789", 0x23456789},  // the ninth digit wraps out
      {"ffffffff", 0xffffffff},
  };
  for (const Row& row : rows) EXPECT_EQ(HexToUInt32(row.text), row.value) << row.text;
}

TEST(CutToken, EachSetStopsAtItsFirstForeignCharacter) {
  EXPECT_EQ(CutToken("0012f5c4  0040 x", TokenSet::StackLine), "0012f5c4  0040 ");
  EXPECT_EQ(CutToken("0040abcd 7c", TokenSet::StackWord), "0040abcd");
  EXPECT_EQ(CutToken("00g0G000-1", TokenSet::ModulesIniAddress), "00g0G000");
  EXPECT_EQ(CutToken("0x40123X 1", TokenSet::StackIniWord), "0x40123X");
  EXPECT_EQ(CutToken("x401", TokenSet::StackWord), "");
}

CDebuggerLogReader Feed(const std::vector<std::string>& lines, size_t* linesTaken = nullptr) {
  CDebuggerLogReader reader;
  size_t taken = 0;
  for (const std::string& line : lines) {
    ++taken;
    if (!reader.FeedLine(line)) break;
  }
  if (linesTaken) *linesTaken = taken;
  return reader;
}

TEST(DebuggerLogReader, ModuleLineKeepsItsStatusTextAndListEndsAtFirstEmptyLine) {
  CDebuggerLogReader reader = Feed({"00400000 0044f000   before heading", "> modules",
                                    "start    end        module name",
                                    "00400000 0044f000   main   (deferred)", "",
                                    "Unloaded modules:", "71ab0000 71ac7000   ws2help.dll"});
  ASSERT_EQ(reader.Modules().size(), 1u);
  EXPECT_EQ(reader.Modules()[0].name, "main   (deferred)");
  EXPECT_EQ(reader.Modules()[0].start, 0x400000u);
  EXPECT_EQ(reader.Modules()[0].end, 0x44f000u);
  EXPECT_TRUE(reader.StackLines().empty());
}

TEST(DebuggerLogReader, OnlyA45CharacterHexLineIsAStackLineAndTheDumpEndsAtItsFirstOtherLine) {
  const std::string stackLine = "0012f5c4  00401234 7c90e920 00000000 0044f000";
  ASSERT_EQ(stackLine.size(), 45u);
  size_t taken = 0;
  CDebuggerLogReader reader =
      Feed({"start    end        module name", "00400000 0044f000   main", stackLine,
            stackLine + " ", stackLine, "never read"},
           &taken);
  EXPECT_EQ(taken, 4u);  // the 46-character line ended the dump
  ASSERT_EQ(reader.StackLines().size(), 1u);
  EXPECT_EQ(reader.StackLines()[0], "00401234 7c90e920 00000000 0044f000");

  // 44 hex characters and a stray letter in 45 are module lines, not stack lines.
  reader = Feed({"start    end        module name", stackLine.substr(1),
                 "0012f5c4  00401234 7c90e920 00000000 0044f00g"});
  EXPECT_EQ(reader.Modules().size(), 2u);
  EXPECT_TRUE(reader.StackLines().empty());
}

TEST(DebuggerLogReader, QuitEndsTheInputInsideTheModuleList) {
  size_t taken = 0;
  CDebuggerLogReader reader = Feed({"start    end        module name", "00400000 0044f000   main",
                                    "quit:", "7c900000 7c9af000   ntdll"},
                                   &taken);
  EXPECT_EQ(taken, 3u);
  EXPECT_EQ(reader.Modules().size(), 1u);
}

const std::vector<ModuleRange> kMain = {{"main   (deferred)", 0x400000, 0x44f000}};

TEST(CommandScript, EndAddressCountsAndRepeatedWordsAreCommentedOut) {
  EXPECT_EQ(BuildCommandScript(kMain, {"00401234 7c90e920 00000000 0044f000",
                                       "0044f001 00401234 003ffff0 00400000"}),
            "*Dump main   (deferred)\nU 0x00401234 L-30;U 0x00401234 L30\n"
            "*Dump main   (deferred)\nU 0x0044f000 L-30;U 0x0044f000 L30\n"
            "*Dump main   (deferred)\n* 0x00401234 L-30;U 0x00401234 L30\n"
            "*Dump main   (deferred)\nU 0x00400000 L-30;U 0x00400000 L30\n"
            "q\n");
}

TEST(CommandScript, WordsThatDoNotCountStillMarkTheirValueSeen) {
  const std::vector<ModuleRange> fromZero = {{"low", 0, 0xffff}};
  // 00000fff is below the bound; "1234" is too short but remembers 0x1234.
  EXPECT_EQ(BuildCommandScript(fromZero, {"00000fff 1234 00001234 x0002000"}),
            "*Dump low\n* 0x00001234 L-30;U 0x00001234 L30\n"
            "q\n");
  EXPECT_EQ(BuildCommandScript({}, {"00401234 7c90e920 00000000 0044f000"}), "q\n");
}

TEST(ConsoleReport, ReadsTabAndPrefixedLayouts) {
  struct Row { const char* line; const char* name; uint32_t start, end; };
  const Row rows[] = {
      {"main.exe\t00400000-0044f000\tC:\\app\\main.exe", "main.exe", 0x400000, 0x44f000},
      {"main.exe\t  00400000 0044f000  \t", "main.exe", 0x400000, 0x44f000},
      {"Loaded:  7c900000 7c9af000   C:\\WINDOWS\\system32\\ntdll.dll", "  ntdll.dll",
       0x7c900000, 0x7c9af000},
      {"lonely\t00400000-0044f000", "lonely", 0, 0},  // no second tab: no address field
      {"broken\tnot-hex\t", "broken", 0, 0},
      {"Loaded:  0040000g 0044f000 x", "  Loaded:  0040000g 0044f000 x", 0, 0x44f000},
  };
  for (const Row& row : rows) {
    ModuleRange module = ParseModulesIniLine(row.line);
    EXPECT_EQ(module.name, row.name) << row.line;
    EXPECT_EQ(module.start, row.start) << row.line;
    EXPECT_EQ(module.end, row.end) << row.line;
  }
}

TEST(ConsoleReport, ZeroXWordsReadAsZeroAndNoLowerBoundApplies) {
  const std::vector<ModuleRange> modules = {{"broken", 0, 0}, {"low", 0, 0x1fff}};
  EXPECT_EQ(ReportStackIniLine("0x401234 00000fff 0fff", modules),
            "broken [00000000-00000000] - 0x00000000\n"
            "low [00000000-00001fff] - 0x00000000\n"
            "low [00000000-00001fff] - 0x00000fff\n");
}

}  // namespace
}  // namespace stackresolve

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/DataBuffer.h"
#include "net/MessageBuffer.h"

namespace {

long ReadOffset(CDataBuffer& buffer) {
  int unread = 0;
  return buffer.GetData(&unread) - buffer.GetBase();
}
int FreeBehind(CDataBuffer& buffer) {
  int unread = 0;
  char* read = buffer.GetData(&unread);
  return static_cast<int>(buffer.GetBase() + buffer.GetCapacity() - (read + unread));
}
std::string Unread(CDataBuffer& buffer) {
  int length = 0;
  char* data = buffer.GetData(&length);
  return std::string(data, static_cast<size_t>(length));
}
std::string Record(CDataBuffer& buffer) {
  int length = 0;
  char* record = buffer.ReadRecord(&length);
  return record ? std::string(record, static_cast<size_t>(length)) : "<none>";
}
void Fill(CDataBuffer& buffer, int n) {
  int free = 0;
  char* at = buffer.GetWriteBuffer(&free);
  ASSERT_LE(n, free);
  for (int i = 0; i < n; ++i) at[i] = static_cast<char>('a' + i % 26);
  buffer.CommitWrite(n);
}

TEST(DataBufferTest, CommitWriteTerminatesConsumeKeepsTheRestAndAppendLeavesRoomForTheZero) {
  CDataBuffer buffer;
  Fill(buffer, 10);
  int length = 0;
  EXPECT_EQ(std::strlen(buffer.GetData(&length)), 10u);  // the zero behind the data
  buffer.Consume(4);
  EXPECT_EQ(Unread(buffer), "efghij");
  EXPECT_EQ(ReadOffset(buffer), 0);
  EXPECT_EQ(FreeBehind(buffer), 4090);
  buffer.Consume(6);  // all of it: reset
  EXPECT_EQ(FreeBehind(buffer), 4096);
  Fill(buffer, 1000);
  EXPECT_EQ(buffer.Append(std::string(3096, 't').data(), 3096), 0);
  EXPECT_EQ(buffer.GetLength(), 1000);  // unchanged
  EXPECT_EQ(buffer.Append(std::string(3095, 'f').data(), 3095), 3095);
  EXPECT_EQ(buffer.GetLength(), 4095);
}

TEST(DataBufferTest, RecordsNeedATerminatorAndAFullBufferMovesUnreadDownToBase) {
  CDataBuffer buffer;
  ASSERT_EQ(buffer.Append("abc", 3), 3);  // no terminator copied
  EXPECT_EQ(Record(buffer), "<none>");
  EXPECT_EQ(ReadOffset(buffer), 0);
  ASSERT_EQ(buffer.Append(std::string(96, 'x').c_str(), -1), 97);
  Fill(buffer, 4096 - 100 - 1);
  buffer.CommitWrite(1);
  EXPECT_EQ(Record(buffer), "abc" + std::string(96, 'x'));
  EXPECT_EQ(ReadOffset(buffer), 100);
  int free = -1;
  char* at = buffer.GetWriteBuffer(&free);
  EXPECT_EQ(free, 100);
  EXPECT_EQ(ReadOffset(buffer), 0);
  EXPECT_EQ(at, buffer.GetBase() + 3996);
  EXPECT_EQ(Unread(buffer).substr(0, 3), "abc");  // the moved bytes kept their order
  EXPECT_EQ(Unread(buffer).size(), 3996u);
}

TEST(DataBufferTest, SetSizeOnlyGrowsAndRestartsPositions) {
  CDataBuffer buffer;
  Fill(buffer, 50);
  buffer.SetSize(8192, 32);
  EXPECT_EQ(buffer.GetLength(), 0);
  EXPECT_EQ(FreeBehind(buffer), 8192);
  buffer.GetBase()[-32] = 'h';  // the headroom exists
  buffer.SetSize(-1, -1);       // 4096: smaller, no effect
  EXPECT_EQ(buffer.GetCapacity(), 8192);
}

TEST(MessageBufferTest, RecordsRoundTripAndShortOrFillerOrOversizedOnesDoNot) {
  CMessageBuffer buffer;
  ASSERT_EQ(buffer.AppendRecord("hello", -1), 5);
  char* slot = buffer.BeginRecord();
  ASSERT_NE(slot, nullptr);
  ASSERT_EQ(buffer.Append("xyz", 3), 3);
  buffer.EndRecord(slot);
  EXPECT_EQ(buffer.GetLength(), 4 + 5 + 4 + 3);
  EXPECT_EQ(std::string(slot, 4), std::string("\x03\0\0\0", 4));
  EXPECT_EQ(Record(buffer), "hello");
  EXPECT_EQ(Record(buffer), "xyz");
  EXPECT_EQ(FreeBehind(buffer), 4096);  // emptied: reset
  int length = 0;
  buffer.Append("\x0a\0\0\0ab", 6);
  EXPECT_EQ(buffer.ReadRecord(&length), nullptr);
  EXPECT_EQ(length, 10);
  EXPECT_EQ(ReadOffset(buffer), 0);

  CMessageBuffer shortHeader;
  shortHeader.Append("abc", 3);
  EXPECT_EQ(shortHeader.ReadRecord(&length), nullptr);
  EXPECT_EQ(length, -1);
  CMessageBuffer filler;
  filler.Append("\xFF\xFF\xFF\xFF", 4);
  filler.AppendRecord("ok", 2);
  EXPECT_EQ(filler.ReadRecord(&length), nullptr);
  EXPECT_EQ(ReadOffset(filler), 4);
  EXPECT_EQ(Record(filler), "ok");
  CMessageBuffer full;
  const std::string big(4096 - 4, 'b');
  EXPECT_EQ(full.AppendRecord(big.data(), static_cast<int>(big.size()) + 1), 0);
  EXPECT_EQ(full.GetLength(), 0);
  EXPECT_EQ(full.AppendRecord(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
  EXPECT_EQ(full.BeginRecord(), nullptr);
}

}  // namespace

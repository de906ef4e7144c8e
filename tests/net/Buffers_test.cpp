#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/DataBuffer.h"
#include "net/MessageBuffer.h"

namespace {

struct Counts {
  int unread;
  int free;
  long readOffset;  // read - base
};

Counts CountsOf(CDataBuffer& buffer) {
  int unread = 0;
  char* read = buffer.GetData(&unread);
  const int capacity = buffer.GetCapacity();
  char* base = buffer.GetBase();
  const int free = static_cast<int>(base + capacity - (read + unread));
  return Counts{unread, free, read - base};
}

void Fill(CDataBuffer& buffer, int n, char first = 'a') {
  int free = 0;
  char* at = buffer.GetWriteBuffer(&free);
  ASSERT_LE(n, free);
  for (int i = 0; i < n; ++i) at[i] = static_cast<char>(first + i % 26);
  buffer.CommitWrite(n);
}

TEST(DataBufferTest, CommitWriteTerminatesAndConsumeKeepsTheRest) {
  CDataBuffer buffer;
  Fill(buffer, 10);
  int length = 0;
  char* data = buffer.GetData(&length);
  EXPECT_EQ(length, 10);
  EXPECT_EQ(std::strlen(data), 10u);  // the zero behind the data
  buffer.Consume(4);
  Counts counts = CountsOf(buffer);
  EXPECT_EQ(counts.unread, 6);
  EXPECT_EQ(counts.free, 4090);
  EXPECT_EQ(counts.readOffset, 0);
  EXPECT_EQ(std::string(buffer.GetData(&length), 6), "efghij");
  buffer.Consume(6);  // all of it: reset
  counts = CountsOf(buffer);
  EXPECT_EQ(counts.unread, 0);
  EXPECT_EQ(counts.free, 4096);
}

TEST(DataBufferTest, WriteBufferOnFullBufferMovesUnreadDownToBase) {
  CDataBuffer buffer;
  std::string first(99, 'x');
  ASSERT_EQ(buffer.Append(first.c_str(), -1), 100);
  Fill(buffer, 4096 - 100 - 1);
  buffer.CommitWrite(1);
  int free = -1;
  int length = 0;
  char* record = buffer.ReadRecord(&length);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(length, 99);
  EXPECT_EQ(CountsOf(buffer).readOffset, 100);
  char* at = buffer.GetWriteBuffer(&free);
  EXPECT_EQ(free, 100);
  const Counts counts = CountsOf(buffer);
  EXPECT_EQ(counts.readOffset, 0);
  EXPECT_EQ(counts.unread, 3996);
  EXPECT_EQ(at, buffer.GetBase() + 3996);
  EXPECT_EQ(buffer.GetData(&length)[0], 'a');  // the moved bytes kept their order
}

TEST(DataBufferTest, AppendFitsUpToFreeSpaceMinusOne) {
  CDataBuffer buffer;
  Fill(buffer, 1000);
  const std::string fits(4096 - 1000 - 1, 'f');
  const std::string tooLong(4096 - 1000, 't');
  EXPECT_EQ(buffer.Append(tooLong.data(), static_cast<int>(tooLong.size())), 0);
  EXPECT_EQ(buffer.GetLength(), 1000);  // unchanged
  EXPECT_EQ(buffer.Append(fits.data(), static_cast<int>(fits.size())), static_cast<int>(fits.size()));
  EXPECT_EQ(buffer.GetLength(), 4095);
}

TEST(DataBufferTest, ReadRecordNeedsATerminatorBeforeWrite) {
  CDataBuffer buffer;
  ASSERT_EQ(buffer.Append("abc", 3), 3);  // no terminator copied
  int length = -5;
  EXPECT_EQ(buffer.ReadRecord(&length), nullptr);
  EXPECT_EQ(CountsOf(buffer).readOffset, 0);
  ASSERT_EQ(buffer.Append("de", -1), 3);
  char* record = buffer.ReadRecord(&length);
  ASSERT_NE(record, nullptr);
  EXPECT_STREQ(record, "abcde");
  EXPECT_EQ(length, 5);
  EXPECT_EQ(buffer.GetLength(), 0);
}

TEST(DataBufferTest, SetSizeOnlyGrowsAndRestartsPositions) {
  CDataBuffer buffer;
  buffer.SetSize(256, 0);
  EXPECT_EQ(buffer.GetCapacity(), 4096);
  Fill(buffer, 50);
  buffer.SetSize(8192, 32);
  EXPECT_EQ(buffer.GetCapacity(), 8192);
  const Counts counts = CountsOf(buffer);
  EXPECT_EQ(counts.unread, 0);
  EXPECT_EQ(counts.free, 8192);
  buffer.GetBase()[-32] = 'h';
  buffer.SetSize(-1, -1);  // 4096: smaller, no effect
  EXPECT_EQ(buffer.GetCapacity(), 8192);
}

TEST(MessageBufferTest, RecordsRoundTripAndIncompleteOnesWait) {
  CMessageBuffer buffer;
  ASSERT_EQ(buffer.AppendRecord("hello", -1), 5);
  char* slot = buffer.BeginRecord();
  ASSERT_NE(slot, nullptr);
  ASSERT_EQ(buffer.Append("xyz", 3), 3);
  buffer.EndRecord(slot);
  EXPECT_EQ(buffer.GetLength(), 4 + 5 + 4 + 3);
  const unsigned char lengthField[4] = {3, 0, 0, 0};
  EXPECT_EQ(std::memcmp(slot, lengthField, 4), 0);

  int length = 0;
  char* record = buffer.ReadRecord(&length);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(std::string(record, static_cast<size_t>(length)), "hello");
  record = buffer.ReadRecord(&length);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(std::string(record, static_cast<size_t>(length)), "xyz");
  EXPECT_EQ(CountsOf(buffer).free, 4096);  // emptied: reset

  const char partial[] = {10, 0, 0, 0, 'a', 'b'};
  buffer.Append(partial, sizeof(partial));
  EXPECT_EQ(buffer.ReadRecord(&length), nullptr);
  EXPECT_EQ(length, 10);
  EXPECT_EQ(CountsOf(buffer).readOffset, 0);
}

TEST(MessageBufferTest, ShortHeaderFillerAndOverflow) {
  CMessageBuffer buffer;
  buffer.Append("abc", 3);
  int length = 0;
  EXPECT_EQ(buffer.ReadRecord(&length), nullptr);
  EXPECT_EQ(length, -1);

  CMessageBuffer filler;
  const unsigned char skip[] = {0xFF, 0xFF, 0xFF, 0xFF};
  filler.Append(reinterpret_cast<const char*>(skip), 4);
  filler.AppendRecord("ok", 2);
  EXPECT_EQ(filler.ReadRecord(&length), nullptr);
  EXPECT_EQ(CountsOf(filler).readOffset, 4);
  char* record = filler.ReadRecord(&length);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(std::string(record, 2), "ok");

  CMessageBuffer full;
  const std::string big(4096 - 4, 'b');
  EXPECT_EQ(full.AppendRecord(big.data(), static_cast<int>(big.size()) + 1), 0);
  EXPECT_EQ(full.GetLength(), 0);
  EXPECT_EQ(full.AppendRecord(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
  EXPECT_EQ(full.BeginRecord(), nullptr);
}

}  // namespace

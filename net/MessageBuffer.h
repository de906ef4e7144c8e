#pragma once
// CMessageBuffer: a CDataBuffer of length-prefixed records, the sockets' default buffer.
//
// Who may include it: net/ and whoever reads or writes records on a socket. Same threading
// rule as CDataBuffer: one socket, one thread at a time.
//
//     base        read                                           write
//     +-----------+-------+-------------+-------+-------+--------+--------+
//     | consumed  | len=n |  n bytes    | len=m | m bytes ...    |  free  |
//     +-----------+-------+-------------+-------+-------+--------+--------+
//                 |<- 4 ->|  (little-endian 32-bit length field)
//
// A length field of 0xFFFFFFFF is a filler that readers skip.
#include "net/DataBuffer.h"

class CMessageBuffer : public CDataBuffer {
 public:
  CMessageBuffer() = default;
  ~CMessageBuffer() override = default;

  // The next whole record: returns its first data byte and its length and moves read past
  // it (resetting the buffer once it is empty). With fewer than 4 unread bytes: null and
  // length -1. With a record still incomplete: null and the record's length, nothing
  // moved. A filler length field is skipped: null, read moved by 4.
  char* ReadRecord(int* length) override;
  // Reserves a 4-byte length slot at write and returns it (null when it does not fit).
  char* BeginRecord() override;
  // Stores into the slot the number of bytes written behind it.
  void EndRecord(char* recordStart) override;

  // Appends one record (a negative length means the string length without terminator).
  // Returns 0 when (write - base) + length + 4 exceeds the capacity, else the length.
  virtual int AppendRecord(const char* data, int length);
};

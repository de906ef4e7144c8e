#pragma once
// CDataBuffer: the linear byte buffer every socket receives into.
//
// Who may include it: anything that gives a socket a buffer or reads one (net/, media/,
// remote/). A buffer belongs to one socket and is used by one thread at a time: the
// socket's receives never overlap, so it takes no lock.
//
//     allocation
//     |<- headroom ->|<------------------- capacity ------------------->|+1
//     +--------------+----------------+-----------------+---------------+-+
//     |  reserved    | consumed/free  |   unread data   |     free      |0|
//     +--------------+----------------+-----------------+---------------+-+
//                    ^                ^                 ^               ^
//                  base              read             write      base + capacity
//
//     base <= read <= write <= base + capacity, always.
//     GetData/GetReadBuffer give [read, write); GetWriteBuffer gives [write, base+capacity).
//     The spare byte behind the capacity lets CommitWrite put a terminating zero behind
//     the data, so received text can be read as a string.
//
// The operations are virtual in this order in every subclass (CMessageBuffer, the stream
// buffers of the media pipeline), so a socket can receive straight into any of them.
#include <cstdint>

class CDataBuffer {
 public:
  static constexpr int kDefaultCapacity = 4096;

  CDataBuffer();
  virtual ~CDataBuffer();
  CDataBuffer(const CDataBuffer&) = delete;
  CDataBuffer& operator=(const CDataBuffer&) = delete;

  virtual int GetCapacity();
  virtual char* GetBase();
  // A zero-terminated string at read: returns it with its length (without the terminator)
  // and moves read past the terminator; null, moving nothing, while no terminator lies
  // before write.
  virtual char* ReadRecord(int* length);
  // read, and write - read. Consumes nothing.
  virtual char* GetData(int* length);
  // Records are a CMessageBuffer notion: null here.
  virtual char* BeginRecord();
  virtual void EndRecord(char* recordStart);
  // Copies length bytes at write; a negative length means the string plus its terminator.
  // Returns 0 without copying when (write - base) + length + 1 exceeds the capacity.
  virtual int Append(const char* data, int length);
  // Room for the next receive at write. When none is left and some bytes were read, the
  // unread bytes are first moved down to base.
  virtual char* GetWriteBuffer(int* free);
  // n bytes arrived at write (n <= free): write += n and a zero is stored behind them.
  virtual int CommitWrite(int n);
  virtual char* GetReadBuffer(int* length);
  // Drops the first n unread bytes (n <= unread): the rest moves down to read.
  virtual void Consume(int n);
  virtual int GetLength();
  virtual void Reset();
  // Grows only: a capacity larger than the current one replaces the allocation (a negative
  // capacity means 4096, a negative headroom 0). The contents are not kept; read and write
  // start again at the new base.
  virtual void SetSize(int capacity, int headroom);

 protected:
  void Allocate();

  int m_nCapacity = kDefaultCapacity;
  int m_nHeadroom = 0;
  char* m_pBase = nullptr;
  char* m_pRead = nullptr;
  char* m_pWrite = nullptr;

 private:
  char* m_pAllocation = nullptr;
};

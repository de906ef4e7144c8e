#pragma once
// CSnapshotWorker: takes channel snapshots on a thread of its own, so that no completion
// thread waits for the converter. Requests for the same channel and size that arrive while
// that picture is being taken share it; one conversion runs at a time.
//
// Who may include it: media/. Request and Cancel may be called from any thread; pictures
// are handed to the clients on the worker thread, one client at a time.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SnapshotPicture {
  int taken = 0;       // 0: no frame yet or the frame file failed
  std::string file;    // the picture's file name (deleted once read)
  bool opened = false; // the picture file existed and was read
  std::string bytes;   // the JPEG
};

class ISnapshotClient {
 public:
  // tag is the one given to Request.
  virtual void OnSnapshot(const std::shared_ptr<const SnapshotPicture>& picture, uint32_t tag) = 0;

 protected:
  ~ISnapshotClient() = default;
};

class CSnapshotWorker {
 public:
  // Makes the picture file of a channel (blocking); outName gets its name (260 bytes),
  // outputSize is "qcif" or null. 1 when taken.
  using Take = std::function<int(char* outName, const char* outputSize, int channel)>;

  explicit CSnapshotWorker(Take take);
  ~CSnapshotWorker();  // waits for the conversion in progress; queued requests are dropped
  CSnapshotWorker(const CSnapshotWorker&) = delete;
  CSnapshotWorker& operator=(const CSnapshotWorker&) = delete;

  // Never calls back inside the call.
  void Request(ISnapshotClient* client, int channel, bool small, uint32_t tag);
  // Drops the client's waiting request. With wait, also waits until a call of the client
  // in progress on the worker returned (not from the worker thread).
  void Cancel(ISnapshotClient* client, bool wait = false);
  // Conversions run so far.
  int Conversions() const;

 private:
  struct Waiter {
    ISnapshotClient* client;
    int channel;
    bool small;
    uint32_t tag;
  };

  void Run();
  std::shared_ptr<const SnapshotPicture> TakePicture(int channel, bool small);

  Take m_take;
  mutable std::mutex m_lock;
  std::condition_variable m_wake;
  std::condition_variable m_delivered;
  std::vector<Waiter> m_queue;    // waiting for a conversion
  std::vector<Waiter> m_batch;    // sharing the conversion in progress or being handed out
  bool m_converting = false;
  int m_batchChannel = 0;
  bool m_batchSmall = false;
  ISnapshotClient* m_pCalling = nullptr;
  int m_nConversions = 0;
  bool m_bStop = false;
  std::thread m_thread;
};

// The program's worker, taking pictures through the camera channels (ICameraChannels).
CSnapshotWorker& GetSnapshotWorker();
// That worker, or null while no snapshot was asked for.
CSnapshotWorker* SnapshotWorkerIfStarted();

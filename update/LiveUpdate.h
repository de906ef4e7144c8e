#pragma once
// The update engine: on a thread of its own it fetches the update list from the first
// server that answers, downloads each listed file that is newer than the local one, checks
// it and puts it in place of the local file. Replaced files go to the hidden backup folder
// "~~TempFolder" in the program directory, named 0, 1, 2 ...; the next run empties it.
//
// A replacement is atomic: the new file is downloaded into the folder of the local file,
// checked and flushed, the old file is linked into the backup folder, and the new one is
// renamed over it, so the local path holds the old or the new file at every moment.
// Entries whose name is absolute or holds a ".." component are refused.
//
// When the program directory holds "update-key.pub", the list must come with a valid
// detached signature "<list name>.sig" (update/ListSignature.h); otherwise it is refused
// as "The download list file is not correct!".
//
// Threads: SetDirectory, AddServer, Start come from the start-up thread before the run;
// Cancel, Wait and the client's destructor may come from any thread. Notifications run on
// the update thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class CDownloader;
class CUpdateList;
class CLiveUpdate;

// The listener. Its constructor makes the process's engine when there is none.
class CLiveUpdateClient {
 public:
  explicit CLiveUpdateClient(const char* directory = nullptr);
  // Asks the engine to cancel, waits up to 10 s for its thread, then deletes it.
  virtual ~CLiveUpdateClient();
  CLiveUpdateClient(const CLiveUpdateClient&) = delete;
  CLiveUpdateClient& operator=(const CLiveUpdateClient&) = delete;

  virtual bool OnTryDownloadCenter(const char* text);
  virtual bool OnGetDownloadList(const char* releaseNote);
  virtual bool OnDownloadBegin(int index, int count);
  virtual bool OnUpdateFinish();
  virtual bool OnException(const char* text);
  virtual bool OnUnzip(const char* path);
  // -1 nothing stored, 0 the stored digest equals this one, 1 another one is stored.
  virtual int LoadHistory(const unsigned char digest[16]);
  virtual void SaveHistory(const unsigned char digest[16]);

  CLiveUpdate* Engine() const { return m_engine; }

 protected:
  // Cancels the run and waits up to 10 s for it; afterwards no notification reaches this
  // listener. A subclass with state of its own calls it first in its destructor.
  void StopEngine();

 private:
  CLiveUpdate* m_engine;
};

class CLiveUpdate {
 public:
  // The process's engine, made by the first client; nullptr before.
  static CLiveUpdate* Instance();
  // The engine whose run is using the downloaders (set by the update thread).
  static CLiveUpdate* Current();

  // nullptr: the directory of the running program.
  void SetDirectory(const char* directory);
  void AddServer(const char* baseUrl, const char* listName);
  bool Start(CLiveUpdateClient* listener);
  bool Wait(uint32_t ms);
  bool Cancel();

  bool IsCancelRequested() const { return m_cancel.load(); }
  bool IsRunning() const { return m_running.load(); }
  int Result() const { return m_result.load(); }
  const std::string& LocalRoot() const { return m_localRoot; }
  const std::string& BackupFolder() const { return m_backupFolder; }

  // Calls the listener operation of that name; unknown names are ignored.
  void Notify(const char* name, const char* text = nullptr, int index = 0, int count = 0);

 private:
  friend class CLiveUpdateClient;
  struct DoneEvent {
    std::mutex lock;
    std::condition_variable cv;
    bool set = false;
  };

  CLiveUpdate() = default;
  void ThreadProc(std::shared_ptr<DoneEvent> done);
  int RunOnce();
  bool FetchList(CDownloader* downloader, CUpdateList* list);
  bool SignatureAccepted(CDownloader* downloader, const std::string& listPath);
  int SelectEntries(CUpdateList* list);
  int DownloadAndReplace(CDownloader* downloader, CUpdateList* list);
  std::string DownloadEntry(CDownloader* downloader, CUpdateList* list);
  bool ReplaceFile(const std::string& downloaded, const std::string& local);
  void EmptyBackupFolder();
  std::string LocalPathOf(const char* name) const;

  std::vector<std::pair<std::string, std::string>> m_servers;
  std::string m_baseUrl;
  std::string m_listName;
  std::string m_localRoot;
  std::string m_backupFolder;
  uint32_t m_backupCounter = 0;
  CLiveUpdateClient* m_listener = nullptr;
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_cancel{false};
  std::atomic<int> m_result{-1};
  unsigned char m_listDigest[16] = {};
  std::shared_ptr<DoneEvent> m_done;
};

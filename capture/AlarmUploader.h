#pragma once
// CAlarmUploader: the FTP work of one channel's alarm clips, on a worker thread of its own
// ("tAlarmUpload<n>"), so a slow or dead server holds up neither the user-interface thread
// nor another channel. Jobs run in the order given: the login made when an alarm is taken,
// then the store of its clip (or the close of a login whose alarm has no clip). A clip the
// server did not confirm is kept in the spool of undelivered clips, which the worker tries
// again every retry interval and after every confirmed store; a spooled clip is only
// deleted after the server confirmed it.
//
// Who may include it: capture/ and tests. Start, Connect, Upload and Discard may be called
// from any thread (the channel calls them on the user-interface thread); the done callback
// of Upload runs on the worker.
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "camera_config/CameraInfo.h"

class CUndeliveredSpool;

class CAlarmUploader {
 public:
  using SettingsFn = std::function<bool(FTPConfig*)>;
  using DoneFn = std::function<void(int result)>;

  // Spool retries: VTCAM_SPOOL_RETRY_MS (100 to 60000) or 60000.
  static uint32_t RetryIntervalMs();
  // "record_YYYY_MM_DD_hh_mm_ss.flv" for a local time.
  static std::string RemoteClipName(time_t when);

  CAlarmUploader(int channel, CUndeliveredSpool* spool, SettingsFn settings);

  // Starts the worker once; its first job is a try of the channel's spooled clips.
  void Start();
  // Logs in with the channel's settings, for the next Upload or Discard.
  void Connect();
  // Stores clipPath on that login (three attempts), then deletes it or spools it; done gets
  // 1 when the server confirmed the store, else 0.
  void Upload(std::string clipPath, DoneFn done);
  // Closes the login of an alarm that ends without a clip.
  void Discard();
  // The program ends: every clip not yet confirmed (queued, or being stored now) goes to
  // the spool for the next run, and the worker stops taking jobs. A clip whose store still
  // succeeds before the process ends is simply stored again under the same name.
  void Shutdown();

 private:
  enum class JobKind { kConnect, kUpload, kDiscard };
  struct Job {
    JobKind kind;
    std::string clipPath;
    DoneFn done;
  };
  void Post(Job job);
  void Run();
  void RunJob(const Job& job);
  void RetrySpool();
  bool HasQueuedJobs();

  int m_nChannel;
  CUndeliveredSpool* m_pSpool;
  SettingsFn m_settings;
  uint32_t m_nRetryMs;
  std::mutex m_lock;
  std::condition_variable m_wake;
  std::deque<Job> m_jobs;
  bool m_bStopping = false;
  // The clip being stored and its remote name, for Shutdown.
  std::string m_currentClip;
  std::string m_currentName;
  bool m_bStarted = false;
  int m_nControlSocket = -1;  // worker only
};

// The uploader of a channel (0 to 9, else null), with the program's spool and the channel's
// FTP settings from the camera information store. Never destroyed.
CAlarmUploader* GetAlarmUploader(int channel);
// Shutdown on every uploader that exists; the start-up thread, as the program ends.
void ShutdownAlarmUploaders();

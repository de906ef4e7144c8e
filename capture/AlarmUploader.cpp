#include "capture/AlarmUploader.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "camera_config/CameraInfoMgr.h"
#include "capture/UndeliveredSpool.h"
#include "infra/Logger.h"
#include "platform/Thread.h"
#include "remote/FtpClient.h"

namespace {

constexpr uint32_t kDefaultRetryMs = 60000;

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

uint32_t CAlarmUploader::RetryIntervalMs() {
  const char* text = std::getenv("VTCAM_SPOOL_RETRY_MS");
  if (!text || !*text) return kDefaultRetryMs;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value < 100 || value > kDefaultRetryMs) return kDefaultRetryMs;
  return static_cast<uint32_t>(value);
}

std::string CAlarmUploader::RemoteClipName(time_t when) {
  struct tm local {};
  localtime_r(&when, &local);
  char name[64];
  std::snprintf(name, sizeof(name), "record_%04d_%02d_%02d_%02d_%02d_%02d.flv", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return name;
}

CAlarmUploader::CAlarmUploader(int channel, CUndeliveredSpool* spool, SettingsFn settings)
    : m_nChannel(channel), m_pSpool(spool), m_settings(std::move(settings)), m_nRetryMs(RetryIntervalMs()) {}

void CAlarmUploader::Start() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_bStarted) return;
  m_bStarted = true;
  // Runs until the process ends (the uploader is never destroyed): a store in progress at
  // exit is cut off with the process, and its clip is lost.
  platform::StartNamedThread("tAlarmUpload" + std::to_string(m_nChannel), [this] { Run(); }).detach();
}

void CAlarmUploader::Post(Job job) {
  Start();
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_bStopping) return;
    m_jobs.push_back(std::move(job));
  }
  m_wake.notify_one();
}

void CAlarmUploader::Shutdown() {
  std::deque<Job> queued;
  std::string current;
  std::string currentName;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bStopping = true;
    queued.swap(m_jobs);
    current = m_currentClip;
    currentName = m_currentName;
  }
  m_wake.notify_one();
  // A file that is open for the store in progress can still be moved: the open reads on.
  if (!current.empty()) m_pSpool->Keep(m_nChannel, current, currentName);
  for (const Job& job : queued)
    if (job.kind == JobKind::kUpload) m_pSpool->Keep(m_nChannel, job.clipPath, RemoteClipName(std::time(nullptr)));
}

void CAlarmUploader::Connect() { Post({JobKind::kConnect, {}, {}}); }
void CAlarmUploader::Upload(std::string clipPath, DoneFn done) {
  Post({JobKind::kUpload, std::move(clipPath), std::move(done)});
}
void CAlarmUploader::Discard() { Post({JobKind::kDiscard, {}, {}}); }

bool CAlarmUploader::HasQueuedJobs() {
  std::lock_guard<std::mutex> guard(m_lock);
  return !m_jobs.empty();
}

void CAlarmUploader::Run() {
  using Clock = std::chrono::steady_clock;
  const auto interval = std::chrono::milliseconds(m_nRetryMs);
  auto nextRetry = Clock::now();  // the spool of an earlier run is tried at once
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(m_lock);
      m_wake.wait_until(lock, nextRetry, [this] { return !m_jobs.empty() || m_bStopping; });
      if (m_bStopping) return;
      if (m_jobs.empty()) {
        lock.unlock();
        RetrySpool();
        nextRetry = Clock::now() + interval;
        continue;
      }
      job = std::move(m_jobs.front());
      m_jobs.pop_front();
    }
    RunJob(job);
  }
}

void CAlarmUploader::RunJob(const Job& job) {
  FTPConfig ftp{};
  const bool configured = m_settings(&ftp);
  switch (job.kind) {
    case JobKind::kConnect:
      remote::FtpCloseControl(m_nControlSocket);
      m_nControlSocket = configured ? remote::FtpConnectAndLogin(ftp) : -1;
      return;
    case JobKind::kDiscard:
      remote::FtpCloseControl(m_nControlSocket);
      m_nControlSocket = -1;
      return;
    case JobKind::kUpload:
      break;
  }
  const std::string remoteName = RemoteClipName(std::time(nullptr));
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_currentClip = job.clipPath;
    m_currentName = remoteName;
  }
  const int socket = m_nControlSocket;
  m_nControlSocket = -1;
  bool stored = false;
  if (configured) {
    stored = remote::FtpPutFileAs(socket, ftp, job.clipPath.c_str(), remoteName.c_str());
  } else {
    remote::FtpCloseControl(socket);
  }
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_currentClip.clear();
    // Shutdown has spooled the clip already.
    if (m_bStopping) return;
  }
  if (stored) {
    unlink(job.clipPath.c_str());
  } else if (!m_pSpool->Keep(m_nChannel, job.clipPath, remoteName)) {
    Log("CAlarmUploader::Upload [channel:%d] the clip %s is lost.", m_nChannel, remoteName.c_str());
    unlink(job.clipPath.c_str());
  }
  if (job.done) job.done(stored ? 1 : 0);
  if (stored) RetrySpool();
}

void CAlarmUploader::RetrySpool() {
  for (const std::string& clip : m_pSpool->Waiting(m_nChannel)) {
    // An alarm's login or clip goes before the backlog.
    if (HasQueuedJobs()) return;
    FTPConfig ftp{};
    if (!m_settings(&ftp)) return;
    const int socket = remote::FtpConnectAndLogin(ftp);
    // The server is still away: one failed login per round, not three per waiting clip.
    if (socket < 0) return;
    const std::string name = BaseName(clip);
    if (!remote::FtpPutFileAs(socket, ftp, clip.c_str(), name.c_str())) return;
    m_pSpool->Remove(clip);
    Log("CAlarmUploader::RetrySpool [channel:%d] delivered %s from the spool.", m_nChannel, name.c_str());
  }
}

namespace {

std::mutex g_uploadersLock;
CAlarmUploader* g_uploaders[10] = {};

}  // namespace

void ShutdownAlarmUploaders() {
  std::lock_guard<std::mutex> guard(g_uploadersLock);
  for (CAlarmUploader* uploader : g_uploaders)
    if (uploader) uploader->Shutdown();
}

CAlarmUploader* GetAlarmUploader(int channel) {
  CAlarmUploader** uploaders = g_uploaders;
  if (channel < 0 || channel >= 10) return nullptr;
  std::lock_guard<std::mutex> guard(g_uploadersLock);
  if (!uploaders[channel]) {
    uploaders[channel] = new CAlarmUploader(channel, &GetUndeliveredSpool(), [channel](FTPConfig* ftp) {
      CCameraInfo* info = GetCameraInfoMgr().GetCameraInfo(channel);
      if (!info) return false;
      *ftp = info->GetFtpConfig();
      return true;
    });
  }
  return uploaders[channel];
}

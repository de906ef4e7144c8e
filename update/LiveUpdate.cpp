#include "update/LiveUpdate.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "infra/Logger.h"
#include "infra/MD5Digest.h"
#include "platform/ProgramDir.h"
#include "platform/Profile.h"
#include "platform/Thread.h"
#include "platform/Tick.h"
#include "update/Downloader.h"
#include "update/ListSignature.h"
#include "update/UpdateList.h"

namespace {

std::atomic<CLiveUpdate*> g_instance{nullptr};
std::atomic<CLiveUpdate*> g_current{nullptr};
std::mutex g_listenerLock;  // a listener leaving while a notification runs waits for it

std::string Format(const char* format, const char* a, const char* b = "") {
  char text[1024];
  std::snprintf(text, sizeof(text), format, a, b);
  return text;
}

// Names from the list must stay below the program directory.
bool IsSafeName(const std::string& name) {
  if (name.empty() || name[0] == '/' || name[0] == '\\') return false;
  size_t begin = 0;
  while (begin <= name.size()) {
    size_t end = name.find_first_of("/\\", begin);
    if (end == std::string::npos) end = name.size();
    if (name.compare(begin, end - begin, "..") == 0 && end - begin == 2) return false;
    begin = end + 1;
  }
  return true;
}

bool SyncPath(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

}  // namespace

// ---- listener ----

CLiveUpdateClient::CLiveUpdateClient(const char* directory) {
  CLiveUpdate* engine = g_instance.load();
  if (!engine) {
    engine = new CLiveUpdate;
    g_instance.store(engine);
  }
  m_engine = engine;
  m_engine->SetDirectory(directory);
}

void CLiveUpdateClient::StopEngine() {
  if (!m_engine) return;
  m_engine->Cancel();
  for (int i = 0; i < 100 && m_engine->IsRunning(); ++i) m_engine->Wait(100);
  std::lock_guard<std::mutex> lock(g_listenerLock);
  if (m_engine->m_listener == this) m_engine->m_listener = nullptr;
}

CLiveUpdateClient::~CLiveUpdateClient() {
  StopEngine();
  if (!m_engine || m_engine->IsRunning()) return;  // left to the end of the process
  CLiveUpdate* expected = m_engine;
  g_instance.compare_exchange_strong(expected, nullptr);
  expected = m_engine;
  g_current.compare_exchange_strong(expected, nullptr);
  delete m_engine;
}

bool CLiveUpdateClient::OnTryDownloadCenter(const char*) { return true; }
bool CLiveUpdateClient::OnGetDownloadList(const char*) { return true; }
bool CLiveUpdateClient::OnDownloadBegin(int, int) { return true; }
bool CLiveUpdateClient::OnUpdateFinish() { return true; }
bool CLiveUpdateClient::OnException(const char*) { return true; }
bool CLiveUpdateClient::OnUnzip(const char*) { return true; }

int CLiveUpdateClient::LoadHistory(const unsigned char digest[16]) {
  unsigned char stored[16];
  if (!platform::GetPrivateProfileStruct("LiveUpdate", "DLF_History", stored, sizeof(stored), nullptr)) return -1;
  return std::memcmp(stored, digest, sizeof(stored)) == 0 ? 0 : 1;
}

void CLiveUpdateClient::SaveHistory(const unsigned char digest[16]) {
  platform::WritePrivateProfileStruct("LiveUpdate", "DLF_History", digest, 16, nullptr);
}

// ---- engine ----

CLiveUpdate* CLiveUpdate::Instance() { return g_instance.load(); }
CLiveUpdate* CLiveUpdate::Current() { return g_current.load(); }

void CLiveUpdate::SetDirectory(const char* directory) {
  m_localRoot = directory ? directory : platform::DirectoryOf(platform::ExecutablePath());
  if (m_localRoot.empty() || m_localRoot.back() != '/') m_localRoot += '/';
  m_backupFolder = m_localRoot + "~~TempFolder/";
}

void CLiveUpdate::AddServer(const char* baseUrl, const char* listName) {
  m_servers.emplace_back(baseUrl ? baseUrl : "", listName ? listName : "");
}

bool CLiveUpdate::Start(CLiveUpdateClient* listener) {
  if (m_running.load()) return true;
  m_cancel.store(false);
  {
    std::lock_guard<std::mutex> lock(g_listenerLock);
    m_listener = listener;
  }
  m_running.store(true);
  m_result.store(-1);
  if (m_done) {
    std::lock_guard<std::mutex> lock(m_done->lock);
    m_done->set = false;
  } else {
    m_done = std::make_shared<DoneEvent>();
  }
  std::shared_ptr<DoneEvent> done = m_done;
  try {
    platform::StartNamedThread("tLiveUpdate", [this, done] { ThreadProc(done); }).detach();
  } catch (const std::system_error& e) {
    Log("CLiveUpdate::Start can not start its thread: %s", e.what());
    m_running.store(false);
    return false;
  }
  // A run that fails at once may already have ended here; it did start.
  return true;
}

bool CLiveUpdate::Wait(uint32_t ms) {
  std::shared_ptr<DoneEvent> done = m_done;
  if (!done) return true;
  std::unique_lock<std::mutex> lock(done->lock);
  return done->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done->set; });
}

bool CLiveUpdate::Cancel() {
  m_cancel.store(true);
  return !m_running.load();
}

void CLiveUpdate::Notify(const char* name, const char* text, int index, int count) {
  std::lock_guard<std::mutex> lock(g_listenerLock);
  CLiveUpdateClient* l = m_listener;
  if (!l || !name) return;
  if (!std::strcmp(name, "OnTryDownloadCenter")) l->OnTryDownloadCenter(text);
  else if (!std::strcmp(name, "OnGetDownloadList")) l->OnGetDownloadList(text);
  else if (!std::strcmp(name, "OnDownloadBegin")) l->OnDownloadBegin(index, count);
  else if (!std::strcmp(name, "OnUpdateFinish")) l->OnUpdateFinish();
  else if (!std::strcmp(name, "OnException")) l->OnException(text);
  else if (!std::strcmp(name, "OnUnzip")) l->OnUnzip(text);
}

void CLiveUpdate::ThreadProc(std::shared_ptr<DoneEvent> done) {
  for (const auto& server : m_servers) {
    m_baseUrl = server.first;
    m_listName = server.second;
    if (RunOnce() == 0) break;
  }
  // The engine may be deleted once the flag drops; only the shared event is touched after.
  m_running.store(false);
  std::lock_guard<std::mutex> lock(done->lock);
  done->set = true;
  done->cv.notify_all();
}

int CLiveUpdate::RunOnce() {
  EmptyBackupFolder();
  g_current.store(this);
  CDownloader* downloader = CreateDownloader(m_baseUrl.c_str());
  if (!downloader) {
    Notify("OnException", "Can not connect to server!");
    return m_result.load();
  }
  downloader->SetTempDirectory(m_localRoot);
  if (!m_cancel.load()) {
    CUpdateList list;
    if (FetchList(downloader, &list) && SelectEntries(&list) >= 0 && DownloadAndReplace(downloader, &list) > 0) {
      Notify("OnUpdateFinish");
      m_result.store(0);
    }
  }
  downloader->Disconnect();
  delete downloader;
  return m_result.load();
}

void CLiveUpdate::EmptyBackupFolder() {
  if (DIR* dir = opendir(m_backupFolder.c_str())) {
    while (dirent* entry = readdir(dir))
      if (std::strcmp(entry->d_name, ".") && std::strcmp(entry->d_name, ".."))
        unlink((m_backupFolder + entry->d_name).c_str());
    closedir(dir);
  }
  rmdir(m_backupFolder.c_str());
}

bool CLiveUpdate::FetchList(CDownloader* downloader, CUpdateList* list) {
  const char* fetched = downloader->GetFile(m_listName.c_str());
  if (!fetched) {
    Notify("OnException", "Can not find the download list file!");
    return false;
  }
  const std::string path = fetched;
  if (CMD5Digest::DigestFile(path.c_str(), m_listDigest)) {
    std::unique_lock<std::mutex> lock(g_listenerLock);
    const int history = m_listener ? m_listener->LoadHistory(m_listDigest) : -1;
    lock.unlock();
    if (history == 0) {
      Notify("OnException", "All have been updated.");
      m_result.store(0);
      unlink(path.c_str());
      return false;
    }
  }
  const bool loaded = SignatureAccepted(downloader, path) && list->Load(path);
  unlink(path.c_str());
  if (!loaded) {
    Notify("OnException", "The download list file is not correct!");
    return false;
  }
  return true;
}

bool CLiveUpdate::SignatureAccepted(CDownloader* downloader, const std::string& listPath) {
  const std::string key = m_localRoot + kUpdateKeyFile;
  if (access(key.c_str(), F_OK) != 0) return true;  // unsigned lists unless a key is installed
  const char* fetched = downloader->GetFile((m_listName + ".sig").c_str());
  if (!fetched) return false;
  const std::string signature = fetched;
  const bool ok = CheckListSignature(key, listPath, signature);
  unlink(signature.c_str());
  return ok;
}

std::string CLiveUpdate::LocalPathOf(const char* name) const { return m_localRoot + platform::ToLocalPath(name); }

int CLiveUpdate::SelectEntries(CUpdateList* list) {
  list->Rewind();
  bool announced = false;
  int kept = 0;
  bool more = list->Next();
  while (more) {
    if (m_cancel.load()) return -1;
    const std::string name = list->Current();
    if (!IsSafeName(name)) {
      Notify("OnException", Format("The entry %s is refused: its name leaves the program directory!", name.c_str()).c_str());
      more = list->RemoveCurrent();
    } else if (list->NeedsUpdate(LocalPathOf(name.c_str()))) {
      if (!announced) Notify("OnGetDownloadList", list->GetReleaseNote().c_str());
      announced = true;
      ++kept;
      more = list->Next();
    } else {
      more = list->RemoveCurrent();
    }
  }
  return kept;
}

int CLiveUpdate::DownloadAndReplace(CDownloader* downloader, CUpdateList* list) {
  if (list->GetCount() == 0) {
    Notify("OnException", "All have been updated.");
    m_result.store(0);
    std::lock_guard<std::mutex> lock(g_listenerLock);
    if (m_listener) m_listener->SaveHistory(m_listDigest);
    return 0;
  }
  const int count = list->GetCount();
  int index = 1;
  list->Rewind();
  while (list->Next()) {
    if (m_cancel.load()) return -1;
    const std::string name = list->Current();
    const std::string local = LocalPathOf(name.c_str());
    for (size_t slash = local.find('/', m_localRoot.size()); slash != std::string::npos;
         slash = local.find('/', slash + 1))
      mkdir(local.substr(0, slash).c_str(), 0755);
    Notify("OnDownloadBegin", nullptr, index, count);
    downloader->SetTempDirectory(platform::DirectoryOf(local));
    std::string downloaded;
    for (int failures = 0; (downloaded = DownloadEntry(downloader, list)).empty();) {
      if (++failures >= 3 || m_cancel.load()) {
        downloader->SetTempDirectory(m_localRoot);
        return -1;
      }
      char text[1024];
      std::snprintf(text, sizeof(text), "Retry(%d) download file %s!", failures, name.c_str());
      Notify("OnException", text);
      platform::SleepMs(5000);
    }
    downloader->SetTempDirectory(m_localRoot);
    if (!ReplaceFile(downloaded, local)) {
      Notify("OnException",
             Format("The downloaded file %s can not replace the local file %s!", downloaded.c_str(), local.c_str()).c_str());
      unlink(downloaded.c_str());
      return -1;
    }
    unlink(downloaded.c_str());
    ++index;
  }
  return count;
}

std::string CLiveUpdate::DownloadEntry(CDownloader* downloader, CUpdateList* list) {
  const std::string name = list->Current();
  const char* fetched = downloader->GetFile(name.c_str());
  if (!fetched) {
    Notify("OnException", Format("Can not download file! (%s)", name.c_str()).c_str());
    return {};
  }
  const std::string path = fetched;
  const int check = list->CheckDownloaded(path);
  if (check == 0) return path;
  if (check == 1) {
    Notify("OnUnzip", path.c_str());
    if (list->MatchesMd5(path)) return path;
  }
  unlink(path.c_str());
  Notify("OnException", Format(check == 1 ? "The downloaded file could not be unzipped!(%s)"
                                          : "The downloaded file's version is not correct!(%s)",
                               name.c_str())
                            .c_str());
  return {};
}

bool CLiveUpdate::ReplaceFile(const std::string& downloaded, const std::string& local) {
  // The new file takes the old one's permissions; a new program file is executable.
  struct stat old{};
  mode_t mode = 0644;
  const bool exists = lstat(local.c_str(), &old) == 0;
  if (exists) {
    mode = old.st_mode & 07777;
  } else {
    char head[4] = {};
    FILE* file = std::fopen(downloaded.c_str(), "rb");
    if (file && std::fread(head, 1, 4, file) == 4 && std::memcmp(head, "\177ELF", 4) == 0) mode = 0755;
    if (file) std::fclose(file);
  }
  if (chmod(downloaded.c_str(), mode) != 0 || !SyncPath(downloaded, O_RDONLY)) return false;
  if (exists) {
    // A hard link keeps the old file at its place until the rename below swaps it.
    const std::string backup = m_backupFolder + std::to_string(m_backupCounter++);
    mkdir(m_backupFolder.c_str(), 0755);
    unlink(backup.c_str());
    std::error_code error;
    if (link(local.c_str(), backup.c_str()) != 0 && !std::filesystem::copy_file(local, backup, error))
      return false;
  }
  if (rename(downloaded.c_str(), local.c_str()) != 0) return false;
  SyncPath(platform::DirectoryOf(local), O_RDONLY | O_DIRECTORY);
  return true;
}

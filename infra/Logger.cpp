#include "infra/Logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "infra/ConfigIni.h"
#include "platform/FixedText.h"
#include "platform/ProgramDir.h"
#include "platform/Profile.h"
#include "platform/Thread.h"

namespace {

constexpr size_t kFormatChunk = 8192;

bool CopyFileOver(const char* from, const char* to) {
  const int in = open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    close(in);
    return false;
  }
  char buf[65536];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(in, buf, sizeof(buf));
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (write(out, buf, static_cast<size_t>(n)) != n) {
      ok = false;
      break;
    }
  }
  close(in);
  close(out);
  return ok;
}

// Paths live in 260-byte fields; longer ones are cut like any stored text.
using platform::CopyCut;

}  // namespace

CLogger::~CLogger() { CloseLog(); }

void CLogger::ReadConfiguration() {
  const std::string exe = m_exePath.empty() ? platform::ExecutablePath() : m_exePath;
  const auto slash = exe.find_last_of('/');
  std::string exeDir = slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
  std::string baseName = slash == std::string::npos ? exe : exe.substr(slash + 1);
  if (const auto dot = baseName.find_last_of('.'); dot != std::string::npos) baseName.resize(dot);

  const std::string config = FindConfigIni(exeDir);

  char value[260];
  platform::GetPrivateProfileString("Log", "log_path", "", value, sizeof(value), config.c_str());
  const std::string logDir = value[0] ? std::string(value) : exeDir;
  CopyCut(m_logPath, logDir + "/" + baseName + ".log");
  CopyCut(m_backupPath, std::string(m_logPath) + ".bak");

  platform::GetPrivateProfileString("Log", "max_size", "8000", value, sizeof(value), config.c_str());
  // Leading-digits conversion, compared unsigned: "-5" is a huge limit, not a small one.
  m_maxSize = static_cast<uint32_t>(std::strtoll(value, nullptr, 10));
  if (m_maxSize < 64) m_maxSize = 8000;

  platform::GetPrivateProfileString("Log", "log_level", "INFO", value, sizeof(value), config.c_str());
  const int level = std::atoi(value);
  if (level >= LOG_DEBUG && level <= LOG_ERROR) {
    m_levelThreshold = level;
  } else {
    m_levelThreshold = LOG_INFO;
    std::string lower(value);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.find("debug") != std::string::npos) m_levelThreshold = LOG_DEBUG;
    if (lower.find("info") != std::string::npos) m_levelThreshold = LOG_INFO;
    if (lower.find("warn") != std::string::npos) m_levelThreshold = LOG_WARN;
    if (lower.find("error") != std::string::npos) m_levelThreshold = LOG_ERROR;
  }

  platform::GetPrivateProfileString("Log", "log2console", "", value, sizeof(value), config.c_str());
  if (value[0]) m_consoleEcho = 1;
}

void CLogger::InitLog(int forceConsole) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  ReadConfiguration();
  if (forceConsole) m_consoleEcho = 1;
  m_file = open(m_logPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (m_file < 0) {
    std::printf("can not open log file %s!", m_logPath);
    std::fflush(stdout);
    return;
  }
  CheckSize();
  for (int i = 0; i < 3; ++i) WritePiece("\r\n", 2);
}

void CLogger::CloseLog() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  m_consoleEcho = 0;
  m_bytesSinceCheck = 0;
  const int old = m_file;
  m_file = -1;
  if (old >= 0) close(old);
}

void CLogger::CheckSize() {
  if (m_file < 0) return;
  struct stat st{};
  const uint32_t size = fstat(m_file, &st) == 0 ? static_cast<uint32_t>(st.st_size) : 0;
  lseek(m_file, 0, SEEK_END);
  // A max_size whose byte count does not fit 32 bits is held at the largest that does.
  const uint32_t limit = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{m_maxSize} * 1024u, UINT32_MAX));
  if (size >= limit) {
    CopyFileOver(m_logPath, m_backupPath);
    lseek(m_file, 0, SEEK_SET);
    if (ftruncate(m_file, 0) != 0) {
      // The log keeps growing rather than losing the records already in it.
    }
    m_bytesAllowed = limit;
  } else {
    m_bytesAllowed = limit - size;
  }
}

void CLogger::WritePiece(const char* data, int length) {
  const size_t total = length < 1 ? std::strlen(data) : static_cast<size_t>(length);
  size_t offset = 0;
  while (offset < total) {
    if (m_consoleEcho) {
      if (fwrite(data + offset, 1, total - offset, stdout) > 0) fflush(stdout);
    }
    const ssize_t n = m_file >= 0 ? write(m_file, data + offset, total - offset) : -1;
    if (n <= 0) break;
    offset += static_cast<size_t>(n);
    m_bytesSinceCheck += static_cast<uint32_t>(n);
  }
  if (m_bytesSinceCheck >= m_bytesAllowed) {
    CheckSize();
    m_bytesSinceCheck = 0;
  }
}

void CLogger::WriteRecord(const char* text, int length, bool withError, int lastError) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  char prefix[96];
  std::snprintf(prefix, sizeof(prefix), "%04d-%02d-%02d %02d:%02d:%02d:%03d|%d ", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(tv.tv_usec / 1000), platform::CurrentThreadId());

  std::lock_guard<std::recursive_mutex> lock(m_lock);
  WritePiece(prefix, -1);
  if (length > 0) WritePiece(text, length);
  if (withError) {
    char code[16];
    std::snprintf(code, sizeof(code), "%d", lastError);
    WritePiece(" (Error:", -1);
    WritePiece(code, -1);
    WritePiece(")", -1);
    WritePiece("\r\n", 2);
  }
  WritePiece("\r\n", 2);
}

void CLogger::LogV(int lastError, bool withError, const char* format, va_list args) {
  char stackBuffer[kFormatChunk];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(stackBuffer, sizeof(stackBuffer), format, copy);
  va_end(copy);
  if (needed < 0) return;
  if (static_cast<size_t>(needed) < sizeof(stackBuffer)) {
    WriteRecord(stackBuffer, needed, withError, lastError);
    return;
  }
  // Grow in 8 KiB steps until the text fits, as the fixed buffer would have been grown.
  size_t capacity = kFormatChunk;
  while (capacity <= static_cast<size_t>(needed)) capacity += kFormatChunk;
  std::unique_ptr<char[]> heap(new char[capacity]);
  const int written = std::vsnprintf(heap.get(), capacity, format, args);
  if (written >= 0) WriteRecord(heap.get(), written, withError, lastError);
}

void CLogger::Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(0, false, format, args);
  va_end(args);
}

void CLogger::LogAtLevel(int level, const char* format, ...) {
  if (level < m_levelThreshold) return;
  va_list args;
  va_start(args, format);
  LogV(0, false, format, args);
  va_end(args);
}

void CLogger::LogWithLastError(const char* format, ...) {
  const int lastError = errno;
  va_list args;
  va_start(args, format);
  LogV(lastError, true, format, args);
  va_end(args);
}

CLogger& GetLogger() {
  static CLogger logger;
  return logger;
}

void InitLog(int forceConsole) { GetLogger().InitLog(forceConsole); }
void CloseLog() { GetLogger().CloseLog(); }

void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  GetLogger().LogV(0, false, format, args);
  va_end(args);
}

void LogAtLevel(int level, const char* format, ...) {
  if (level < GetLogger().LevelThreshold()) return;
  va_list args;
  va_start(args, format);
  GetLogger().LogV(0, false, format, args);
  va_end(args);
}

void LogWithLastError(const char* format, ...) {
  const int lastError = errno;
  va_list args;
  va_start(args, format);
  GetLogger().LogV(lastError, true, format, args);
  va_end(args);
}

#pragma once
// The program's one log file. Configured from section "Log" of config.ini (log_path,
// max_size in KiB, log_level, log2console); rotated once to "<log>.bak" when it reaches its
// size limit. Records:  "YYYY-MM-DD hh:mm:ss:mmm|<tid> <text>\r\n".
//
// Any thread may log at any time. A record's pieces are written under one lock, so the
// pieces of concurrent records never interleave; InitLog and CloseLog belong to start-up.
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>

enum LogLevel : int { LOG_DEBUG = 10, LOG_INFO = 20, LOG_WARN = 30, LOG_ERROR = 40 };

class CLogger {
 public:
  CLogger() = default;
  virtual ~CLogger();
  CLogger(const CLogger&) = delete;
  CLogger& operator=(const CLogger&) = delete;

  // Reads config.ini, opens (appending) the log file and writes three blank lines.
  void InitLog(int forceConsole);
  void CloseLog();

  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void LogAtLevel(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void LogWithLastError(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void LogV(int lastError, bool withError, const char* format, va_list args);

  // Where the executable is taken to live; defaults to /proc/self/exe. Tests point it at a
  // folder of their own before InitLog.
  void SetExecutablePath(const std::string& path) { m_exePath = path; }

  int ConsoleEcho() const { return m_consoleEcho; }
  int LevelThreshold() const { return m_levelThreshold; }
  uint32_t MaxSizeKiB() const { return m_maxSize; }
  const char* LogPath() const { return m_logPath; }
  const char* BackupPath() const { return m_backupPath; }
  bool IsOpen() const { return m_file >= 0; }

 private:
  void ReadConfiguration();
  void CheckSize();
  void WritePiece(const char* data, int length);
  void WriteRecord(const char* text, int length, bool withError, int lastError);

  int m_consoleEcho = 0;
  int m_levelThreshold = LOG_INFO;
  int m_file = -1;
  char m_logPath[260] = {};
  char m_backupPath[260] = {};
  uint32_t m_maxSize = 0;
  uint32_t m_bytesSinceCheck = 0;
  uint32_t m_bytesAllowed = 0;
  std::string m_exePath;
  std::recursive_mutex m_lock;
};

// The process-wide logger that the free functions below write to.
CLogger& GetLogger();

void InitLog(int forceConsole);
void CloseLog();
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogAtLevel(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Reports errno as it stood on entry, before formatting touches it.
void LogWithLastError(const char* format, ...) __attribute__((format(printf, 1, 2)));

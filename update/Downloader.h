#pragma once
// CDownloader: one update source (HTTP server, FTP server or a directory) from which named
// files are copied into new temporary files "~~t????.tmp". Used by the update thread only.
//
// Names from the list use "\" between folders; they are fetched with "/" in their place.
#include <string>

class CDownloader {
 public:
  CDownloader() = default;
  virtual ~CDownloader() = default;
  CDownloader(const CDownloader&) = delete;
  CDownloader& operator=(const CDownloader&) = delete;

  void SetTempDirectory(const std::string& dir);
  // The temporary file holding the named remote file, or nullptr (no file is left behind).
  virtual const char* GetFile(const char* name) = 0;
  virtual void Disconnect() {}
  virtual bool Connect() = 0;
  // The base URL without its scheme: host, optionally ":port", optionally a path.
  virtual void Open(const std::string& address);

  const std::string& Host() const { return m_host; }
  const std::string& Path() const { return m_path; }
  int Port() const { return m_port; }

 protected:
  // Creates the empty temporary file in the temporary directory; false on failure.
  bool MakeTempFile();
  // Deletes the temporary file; returns nullptr for the caller's failure result.
  const char* DropTempFile();
  static std::string RemoteName(const char* name);

  std::string m_host;
  std::string m_path;
  int m_port = 0;
  std::string m_tempDir = ".";
  std::string m_tempFile;
};

// Makes the downloader the base URL names, announces it with OnTryDownloadCenter and
// connects it; nullptr when there is none or it cannot connect. "http://", "ftp://", or two
// slashes or backslashes for a directory ("//srv/updates" is the directory /srv/updates).
CDownloader* CreateDownloader(const char* baseUrl);

#pragma once
// The optional admin password of the camera HTTP server. With "admin_password" set in the
// "Http" section of config.ini, requests that change settings (arming, sound, FTP) must
// carry it through HTTP Basic authentication (any user name); with "protect_streams=1"
// the live streams and snapshots need it too. Without a password nothing changes.
//
// The configuration is read once, on first use; any thread may ask.
#include <string>
#include <string_view>

extern const char kUnauthorizedResponse[];

class CAdminAuth {
 public:
  // The one instance, configured from config.ini beside the program.
  static CAdminAuth& Instance();

  // For tests: replaces the configuration (an empty password switches it off).
  void Configure(std::string password, bool protectStreams);

  bool Enabled() const { return !m_password.empty(); }
  bool ProtectsStreams() const { return Enabled() && m_protectStreams; }
  // The request's header block carries "Authorization: Basic" with the password.
  bool Admits(std::string_view request) const;

 private:
  std::string m_password;
  bool m_protectStreams = false;
};

// Strict base64 (standard alphabet, padding optional); false on any other character.
bool DecodeBase64(std::string_view text, std::string* out);

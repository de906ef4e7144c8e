#pragma once
// CHttpRequestMgr: the one registry of web-service request sockets and the four account
// requests. A request is issued on the user-interface thread and returns at once; the
// outcome arrives later as a posted message (code, string id) to the window that was
// active when it was issued.
//
// Who may include it: remote/ and app/. Requests and SetActiveWindow: user-interface
// thread. Sweep: the server thread's maintenance.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "net/SessionRegistry.h"

class CWnd;
class CWebCamServiceHttpRequestSocket;

constexpr uint32_t WM_CHECK_USER_NAME_RESULT = 3025;
constexpr uint32_t WM_CREATE_USER_RESULT = 3026;
constexpr uint32_t WM_LOGIN_RESULT = 3027;
constexpr uint32_t WM_ADD_DEVICE_RESULT = 3028;

constexpr const char* kMd5KeySalt = "vantor_homecam_installer_pepper7";

class CHttpRequestMgr : public CSessionRegistry {
 public:
  static constexpr int kIdleLimitSeconds = 15;

  CHttpRequestMgr() { m_nIdleLimit = kIdleLimitSeconds; }
  // Sockets still in flight at exit are left to the process end: completion threads may
  // still be finishing with them.
  ~CHttpRequestMgr() override = default;

  void CheckUserName(const char* userName);
  void CreateUser(const char* userName, const char* password, const char* mobileNumber, const char* cameraName);
  void Login(const char* userName, const char* password, const char* challenge);
  void AddDevice(const char* userName, const char* password, const char* challenge);

  // The window that receives the results of the requests issued from now on (modal
  // dialogs set themselves as they open and restore the previous one as they close).
  void SetActiveWindow(CWnd* wnd);
  CWnd* GetActiveWindow() const;
  // A window about to be destroyed: no request posts to it any more.
  void ForgetWindow(CWnd* wnd);

  // The service's "host[:port]": the store's server address, plus VTCAM_WEBSERVICE_PORT
  // when that names a port (the stand-in service of tests and the demo).
  static std::string ServiceHost();

 private:
  CWebCamServiceHttpRequestSocket* GetRequestSocket();
  void Issue(CWebCamServiceHttpRequestSocket* socket, const char* url, uint32_t message);

  CWnd* m_activeWindow = nullptr;
  std::vector<CWebCamServiceHttpRequestSocket*> m_made;  // guarded by m_lock
};

CHttpRequestMgr& GetHttpRequestMgr();

// Percent-encodes text: letters and digits stay, white space becomes "+", every other
// byte "%XX" (upper-case hex). Code page 0 takes the bytes as they are; 65001 (UTF-8) is
// the local code page here, so it changes nothing either.
std::string UrlEncode(const char* text, unsigned codePage);

// The query value of a user name, password or mobile number: bytes that would change or
// cut the query ("&", "#", "%", "+", blanks, control and non-ASCII bytes) percent-encoded,
// everything else unchanged.
std::string QueryEscape(const char* text);

// MD5 of the UTC date "%04d-%02d-%02d" at utcNow, the serial id and the salt, 32 upper-case
// hex digits. CreateUser passes the current time; tests pass any.
std::string MakeMd5Key(time_t utcNow, const char* serialId);

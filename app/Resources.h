#pragma once
// The program's string table and resource numbers.
constexpr int IDD_CAMERA_MAIN = 102;
constexpr int IDI_PROGRAM = 128;
constexpr int IDI_ARMED = 137;
constexpr int IDI_SOUND_OFF = 139;
constexpr int IDI_SOUND_ON = 140;
constexpr int IDI_DISARMED = 141;
constexpr int IDR_TASKBAR_MENU = 135;

constexpr int IDC_VIDEO = 1000;
constexpr int IDC_STATUS = 1001;
constexpr int IDC_HIDDEN_EDIT = 1002;
constexpr int IDC_LINK = 1018;
constexpr int IDC_ALARM_BUTTON = 1019;
constexpr int IDC_SOUND_BUTTON = 1020;

constexpr unsigned ID_MENU_QUIT = 32774;
constexpr unsigned ID_MENU_SHOW = 32775;
constexpr unsigned ID_MENU_LOGOUT = 32776;

constexpr const char* kMainTitle = "Vantor电脑摄像头手机可视防盗软件";
constexpr const char* kStrNewVersion = "发现有新版本更新，请重启程序。";  // 113
constexpr const char* kStrLink = "http://www.vantorcam.example/";           // 114
constexpr const char* kStrArmed = "布防中";                                 // 115
constexpr const char* kStrDisarmed = "已撤防";                              // 116
constexpr const char* kStrSoundOn = "收音";                                 // 117
constexpr const char* kStrSoundOff = "静音";                                // 118
constexpr const char* kStrLinkCaption = "需要通过手机或者电脑远程访问摄像头，请访问：";
constexpr const char* kStrMenuShow = "显示主界面";
constexpr const char* kStrMenuLogout = "注销";
constexpr const char* kStrMenuQuit = "退出";

// Login and registration dialogs.
constexpr int IDD_LOGIN = 134;
constexpr int IDD_REGISTER = 129;
constexpr int IDB_HINT_VALID = 130;
constexpr int IDB_HINT_INVALID = 131;

constexpr int IDC_LOGIN_USER = 1009;
constexpr int IDC_LOGIN_PASSWORD = 1010;
constexpr int IDC_REGISTER_BUTTON = 1011;
constexpr int IDC_REMEMBER = 1012;
constexpr int IDC_AUTO_LOGIN = 1013;
constexpr int IDC_LOGIN_UNUSED = 1015;
constexpr int IDC_HELP_LINK = 1016;
constexpr int IDC_FEEDBACK_LINK = 1017;
constexpr int IDC_REGISTER_LINK = 1021;
constexpr uint32_t WM_REGISTER_LINK = 1224;  // WM_USER + 200

constexpr int IDC_REG_USER = 1003;
constexpr int IDC_REG_PASSWORD = 1004;
constexpr int IDC_REG_PASSWORD_AGAIN = 1005;
constexpr int IDC_REG_MOBILE = 1006;
constexpr int IDC_REG_CAMERA_NAME = 1007;
constexpr int IDC_REG_HINT_FIRST = 1009;  // hints 1009 to 1013 follow fields 1003 to 1007

constexpr const char* kLoginTitle = "Vantor用户登陆";
constexpr const char* kRegisterTitle = "注册新用户";
constexpr const char* kHelpAddress = "http://www.vantorcam.example/help/";
constexpr const char* kFeedbackAddress = "http://www.vantorcam.example/feedback/";

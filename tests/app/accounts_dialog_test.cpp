// The login and registration dialogs against the stand-in account service on loopback.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <tuple>

#include "app/AccountChecks.h"
#include "app/LoginDlg.h"
#include "app/RegisterDlg.h"
#include "app/RegistrySettings.h"
#include "app/Resources.h"
#include "camera_config/CameraInfoMgr.h"
#include "framework/Application.h"
#include "framework/Messages.h"
#include "gtest/gtest.h"
#include "infra/Logger.h"
#include "tests/support/LoopbackPeers.h"
#include "tests/support/TestFiles.h"

namespace {

std::string g_dir;
pid_t g_service = -1;
FILE* g_out = nullptr;  // the stand-in's output

std::string LogText() { return testfiles::ReadFile(GetLogger().LogPath()); }

// Renders the dialog; VT_SCREENSHOT_DIR=<folder> keeps a copy (the docs/ pictures).
void Screenshot(const CDialog& dialog, const std::string& name) {
  const std::string path = g_dir + "/" + name;
  ASSERT_TRUE(dialog.SaveScreenshot(path));
  EXPECT_GT(testfiles::ReadFile(path).size(), 3000u);
  if (const char* keep = std::getenv("VT_SCREENSHOT_DIR"))
    testfiles::WriteFile(std::string(keep) + "/" + name, testfiles::ReadFile(path));
}

bool PumpUntil(const std::function<bool()>& done, int ms = 10000) {
  return nettest::WaitUntil([&] { return framework::ProcessEvents(5), done(); }, ms);
}

// The stand-in service with one user that has a camera; its port goes to the requests.
class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_dir = testfiles::MakeTempDir("vtaccounts");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("XDG_CONFIG_HOME", g_dir.c_str(), 1);
    framework::InitApplication(nullptr, nullptr);
    GetLogger().SetExecutablePath(g_dir + "VantorHomeCamera");
    InitLog(0);
    g_out = popen(("echo $$; exec /usr/bin/python3 " VT_SOURCE_DIR "/tools/webservice_standin.py " + g_dir +
                   "service --user olduser:oldpass1").c_str(), "r");
    unsigned port = 0;
    ASSERT_EQ(std::fscanf(g_out, "%d port %u", &g_service, &port), 2);
    setenv("VTCAM_WEBSERVICE_PORT", std::to_string(port).c_str(), 1);
    GetCameraInfoMgr().SetDefaults();
  }
  void TearDown() override {
    if (g_service > 0) kill(g_service, SIGTERM), pclose(g_out);
    framework::ShutdownApplication();
  }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new Environment);

std::string Repeat(const char* piece, int n) { return n > 0 ? piece + Repeat(piece, n - 1) : ""; }

TEST(RegisterFieldTest, HintFollowsTheRule) {
  using Check = FieldCheck (*)(const std::string&);
  const Check user = CheckRegisterUserName, password = CheckRegisterPassword, mobile = CheckMobileNumber;
  const char kUserLength[] = "名称至少需要4位，最多不超过20位!", kNoMobile[] = "不是移动电话号码!";
  const struct { Check check; std::string text; bool valid; const char* hint; } rows[] = {
      {user, "abc", false, kUserLength}, {user, Repeat("a", 21), false, kUserLength},
      {user, "ab-cd", false, "名称只能由字母、数字组成!"}, {user, "Ab_9" + Repeat("x", 16), true, ""},
      {password, "12345", false, "密码太短，至少需要6位! "}, {password, "123456", true, ""},
      {password, Repeat("p", 30), true, ""}, {password, Repeat("p", 31), false, "密码太长，最多30位! "},
      {mobile, "13000000000", false, kNoMobile}, {mobile, "13000000001", true, ""},
      {mobile, "  13912345678 ", true, ""}, {mobile, "1391234567", false, kNoMobile},
      {CheckCameraName, "", false, "名称不能为空!"}, {CheckCameraName, Repeat("客", 16), true, ""},
      {CheckCameraName, Repeat("客", 17), false, "名称太长，最多32个数字字母或者15个中文字符! "}};
  for (const auto& row : rows) {
    const FieldCheck got = row.check(row.text);
    EXPECT_EQ(std::tuple(got.valid, got.hint), std::tuple(row.valid, std::string(row.hint))) << row.text;
  }
}

TEST(RegisterDialogTest, NewUserIsCreatedAtTheService) {
  CRegisterDlg dialog;
  dialog.OnInitDialog();
  dialog.OnCommand(IDOK);  // with untouched fields: the user name gets the focus
  EXPECT_EQ(dialog.FocusedControl(), IDC_REG_USER);
  EXPECT_EQ(dialog.DrawnBitmap(IDC_REG_HINT_FIRST), IDB_HINT_INVALID);
  EXPECT_TRUE(dialog.IsControlEnabled(IDOK));
  // A taken name is refused by the service's answer.
  dialog.SetControlText(IDC_REG_USER, "olduser");
  dialog.CheckField(IDC_REG_USER);
  ASSERT_TRUE(PumpUntil([&] { return dialog.ControlText(IDC_REG_HINT_FIRST) == "当前用户已经存在。"; }));

  const char* texts[] = {"new_user1", "s3cret&#+", "s3cret&#+", "13912345678", "客厅 cam-1"};
  for (int k = 0; k < 5; ++k) dialog.SetControlText(IDC_REG_USER + k, texts[k]);
  for (int k = 0; k < 5; ++k) dialog.CheckField(IDC_REG_USER + k);
  ASSERT_TRUE(PumpUntil([&] { return dialog.ValidMask() == 31; }));
  EXPECT_EQ(dialog.DrawnBitmap(IDC_REG_HINT_FIRST), IDB_HINT_VALID);
  dialog.SetControlText(IDC_REG_MOBILE, "1391234567");
  dialog.CheckField(IDC_REG_MOBILE);
  Screenshot(dialog, "register-dialog.png");
  dialog.SetControlText(IDC_REG_MOBILE, "13912345678");
  dialog.CheckField(IDC_REG_MOBILE);
  dialog.OnCommand(IDOK);
  ASSERT_TRUE(PumpUntil([&] { return !dialog.CreatedUserName().empty(); }));
  EXPECT_EQ(dialog.CreatedPassword(), "s3cret&#+");
  const std::string users = testfiles::ReadFile(g_dir + "service/users.json");
  for (const char* text : {"\"new_user1\"", "\"s3cret&#+\"", "客厅 cam-1"}) EXPECT_NE(users.find(text), std::string::npos);
  dialog.OnDestroy();
}

// With a remembered digest the dialog logs in by itself, unless a log-out opened it.
TEST(LoginDialogTest, AutoLoginOnlyWhenNotAfterALogout) {
  SettingsRecord& s = Settings();
  std::snprintf(s.userName, sizeof(s.userName), "%s", "olduser");
  std::snprintf(s.passwordDigest, sizeof(s.passwordDigest), "%s", "0123456789ABCDEF0123456789ABCDEF");
  s.autoLogin = 1;
  for (const int afterLogout : {1, 0}) {
    const size_t before = LogText().size();
    CLoginDlg dialog;
    dialog.SetAfterLogout(afterLogout);
    dialog.OnInitDialog();
    EXPECT_TRUE(dialog.IsChecked(IDC_AUTO_LOGIN));
    PumpUntil([&] { return LogText().find("Login send", before) != std::string::npos; }, afterLogout ? 500 : 10000);
    EXPECT_EQ(LogText().find("Login send", before) != std::string::npos, afterLogout == 0) << afterLogout;
    if (afterLogout == 1) Screenshot(dialog, "login-dialog.png");
    dialog.OnDestroy();
  }
}

}  // namespace

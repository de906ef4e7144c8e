// The login and registration dialogs against the stand-in account service on loopback.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

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
    GetLogger().SetExecutablePath(g_dir + "/VantorHomeCamera");
    InitLog(0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    if ((g_service = fork()) == 0) {
      dup2(out[1], 1);
      execl("/usr/bin/python3", "python3", VT_SOURCE_DIR "/tools/webservice_standin.py", (g_dir + "/service").c_str(),
            "--user", "olduser:oldpass1", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    FILE* f = fdopen(out[0], "r");
    unsigned port = 0;
    ASSERT_EQ(std::fscanf(f, "port %u", &port), 1);
    fclose(f);
    setenv("VTCAM_WEBSERVICE_PORT", std::to_string(port).c_str(), 1);
    GetCameraInfoMgr().SetDefaults();
  }
  void TearDown() override {
    if (g_service > 0) {
      kill(g_service, SIGTERM);
      waitpid(g_service, nullptr, 0);
    }
    framework::ShutdownApplication();
  }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new Environment);

struct FieldRow { int field; std::string text; bool valid; const char* hint; };

class RegisterFieldTest : public ::testing::TestWithParam<FieldRow> {};

TEST_P(RegisterFieldTest, HintFollowsTheRule) {
  const FieldRow& row = GetParam();
  FieldCheck check{false, ""};
  switch (row.field) {
    case IDC_REG_USER: check = CheckRegisterUserName(row.text); break;
    case IDC_REG_PASSWORD: check = CheckRegisterPassword(row.text); break;
    case IDC_REG_MOBILE: check = CheckMobileNumber(row.text); break;
    case IDC_REG_CAMERA_NAME: check = CheckCameraName(row.text); break;
  }
  EXPECT_EQ(check.valid, row.valid) << row.text;
  EXPECT_EQ(check.hint, row.hint) << row.text;
}

std::string Repeat(const char* piece, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += piece;
  return s;
}

const char kUserLength[] = "名称至少需要4位，最多不超过20位!", kNoMobile[] = "不是移动电话号码!";

INSTANTIATE_TEST_SUITE_P(
    Rules, RegisterFieldTest,
    ::testing::Values(
        FieldRow{IDC_REG_USER, "abc", false, kUserLength}, FieldRow{IDC_REG_USER, Repeat("a", 21), false, kUserLength},
        FieldRow{IDC_REG_USER, "ab-cd", false, "名称只能由字母、数字组成!"},
        FieldRow{IDC_REG_USER, "Ab_9" + Repeat("x", 16), true, ""},
        FieldRow{IDC_REG_PASSWORD, "12345", false, "密码太短，至少需要6位! "},
        FieldRow{IDC_REG_PASSWORD, "123456", true, ""}, FieldRow{IDC_REG_PASSWORD, Repeat("p", 30), true, ""},
        FieldRow{IDC_REG_PASSWORD, Repeat("p", 31), false, "密码太长，最多30位! "},
        FieldRow{IDC_REG_MOBILE, "13000000000", false, kNoMobile}, FieldRow{IDC_REG_MOBILE, "13000000001", true, ""},
        FieldRow{IDC_REG_MOBILE, "  13912345678 ", true, ""}, FieldRow{IDC_REG_MOBILE, "1391234567", false, kNoMobile},
        FieldRow{IDC_REG_CAMERA_NAME, "", false, "名称不能为空!"},
        FieldRow{IDC_REG_CAMERA_NAME, Repeat("客", 16), true, ""},
        FieldRow{IDC_REG_CAMERA_NAME, Repeat("客", 17), false, "名称太长，最多32个数字字母或者15个中文字符! "}));

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
  const std::string users = testfiles::ReadFile(g_dir + "/service/users.json");
  for (const char* text : {"\"new_user1\"", "\"s3cret&#+\"", "客厅 cam-1"}) EXPECT_NE(users.find(text), std::string::npos);
  dialog.OnDestroy();
}

struct AutoLoginRow { int afterLogout; const char* digest; bool sends; };

class AutoLoginTest : public ::testing::TestWithParam<AutoLoginRow> {};

TEST_P(AutoLoginTest, LogsInByItselfOnlyWithADigestAndNotAfterLogout) {
  const AutoLoginRow& row = GetParam();
  SettingsRecord& s = Settings();
  std::snprintf(s.userName, sizeof(s.userName), "%s", "olduser");
  std::snprintf(s.passwordDigest, sizeof(s.passwordDigest), "%s", row.digest);
  s.autoLogin = 1;
  const size_t before = LogText().size();
  CLoginDlg dialog;
  dialog.SetAfterLogout(row.afterLogout);
  dialog.OnInitDialog();
  EXPECT_EQ(dialog.IsChecked(IDC_AUTO_LOGIN), std::strlen(row.digest) == 32);
  PumpUntil([&] { return LogText().find("Login send", before) != std::string::npos; }, row.sends ? 10000 : 500);
  EXPECT_EQ(LogText().find("Login send", before) != std::string::npos, row.sends);
  if (row.afterLogout == 1) Screenshot(dialog, "login-dialog.png");
  dialog.OnDestroy();
}

INSTANTIATE_TEST_SUITE_P(Rows, AutoLoginTest,
                         ::testing::Values(AutoLoginRow{0, "0123456789ABCDEF0123456789ABCDEF", true},
                                           AutoLoginRow{1, "0123456789ABCDEF0123456789ABCDEF", false},
                                           AutoLoginRow{0, "0123456789ABCDEF0123456789ABCDE", false}));

}  // namespace

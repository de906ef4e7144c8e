#pragma once
// The input rules of the login and registration dialogs, without any window: each check
// says whether a field is valid and which hint text it shows.
#include <string>

// Length as the dialogs count it: an ASCII character 1, any other character 2 (the width a
// Chinese character had in the original code page, which the "15个中文字符" rule assumes).
int DisplayLength(const std::string& utf8);

struct FieldCheck {
  bool valid;
  std::string hint;  // empty when valid
};

// A valid user name still has to be free: the dialog then asks the service.
FieldCheck CheckRegisterUserName(const std::string& name);
FieldCheck CheckRegisterPassword(const std::string& password);
FieldCheck CheckPasswordAgain(const std::string& password, const std::string& again);
FieldCheck CheckMobileNumber(const std::string& number);
FieldCheck CheckCameraName(const std::string& name);

// Login dialog: 0 when both fields may be sent, else the id of the field to focus.
int LoginFieldToFix(const std::string& userName, const std::string& password);

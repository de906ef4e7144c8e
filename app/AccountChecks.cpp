#include "app/AccountChecks.h"

#include <cstdlib>

#include "app/Resources.h"

int DisplayLength(const std::string& utf8) {
  int length = 0;
  for (unsigned char c : utf8) {
    if (c < 0x80) length += 1;
    else if ((c & 0xC0) != 0x80) length += 2;  // lead byte of a multi-byte character
  }
  return length;
}

FieldCheck CheckRegisterUserName(const std::string& name) {
  const int length = DisplayLength(name);
  if (length < 4 || length > 20) return {false, "名称至少需要4位，最多不超过20位!"};
  for (unsigned char c : name) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (!ok) return {false, "名称只能由字母、数字组成!"};
  }
  return {true, ""};
}

FieldCheck CheckRegisterPassword(const std::string& password) {
  const int length = DisplayLength(password);
  if (length < 6) return {false, "密码太短，至少需要6位! "};
  if (length > 30) return {false, "密码太长，最多30位! "};
  return {true, ""};
}

FieldCheck CheckPasswordAgain(const std::string& password, const std::string& again) {
  if (!password.empty() && password == again) return {true, ""};
  return {false, "密码不匹配! "};
}

FieldCheck CheckMobileNumber(const std::string& number) {
  const size_t first = number.find_first_not_of(' ');
  const size_t last = number.find_last_not_of(' ');
  const std::string trimmed = first == std::string::npos ? std::string() : number.substr(first, last - first + 1);
  if (trimmed.size() == 11 && std::strtoll(trimmed.c_str(), nullptr, 10) > 13000000000LL) return {true, ""};
  return {false, "不是移动电话号码!"};
}

FieldCheck CheckCameraName(const std::string& name) {
  const int length = DisplayLength(name);
  if (length < 1) return {false, "名称不能为空!"};
  if (length > 32) return {false, "名称太长，最多32个数字字母或者15个中文字符! "};
  return {true, ""};
}

int LoginFieldToFix(const std::string& userName, const std::string& password) {
  const int user = DisplayLength(userName);
  if (user < 1 || user > 20) return IDC_LOGIN_USER;
  const int pass = DisplayLength(password);
  if (pass < 1 || pass > 32) return IDC_LOGIN_PASSWORD;
  return 0;
}

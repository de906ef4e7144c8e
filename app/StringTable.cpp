#include "app/StringTable.h"

const char* LoadStringText(int id) {
  switch (id) {
    case 105: return "当前用户已经存在。";
    case 106: return "缺少信息。";
    case 107: return "用户创建成功。";
    case 108: return "创建用户失败。";
    case 109: return "缺少WebCam设备。";
    case 110: return "用户不存在或者密码不匹配。";
    case 111: return "发生错误，操作无法完成。";
    case 112: return "无法连接到服务器。";
    case 113: return "发现有新版本更新，请重启程序。";
    default: return "";
  }
}

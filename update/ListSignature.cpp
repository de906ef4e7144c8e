#include "update/ListSignature.h"

#include <sodium.h>

#include <fstream>
#include <iterator>

namespace {

bool ReadWhole(const std::string& path, std::string* bytes) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return !file.bad();
}

}  // namespace

bool ReadHexFile(const std::string& path, unsigned char* out, size_t size) {
  std::string text;
  if (!ReadWhole(path, &text) || text.size() > 4096) return false;
  size_t length = 0;
  const char* end = nullptr;
  if (sodium_hex2bin(out, size, text.data(), text.size(), " \t\r\n", &length, &end) != 0) return false;
  return length == size && end == text.data() + text.size();
}

bool CheckListSignature(const std::string& keyPath, const std::string& listPath, const std::string& signaturePath) {
  if (sodium_init() < 0) return false;
  unsigned char key[crypto_sign_PUBLICKEYBYTES];
  unsigned char signature[crypto_sign_BYTES];
  std::string list;
  if (!ReadHexFile(keyPath, key, sizeof(key)) || !ReadHexFile(signaturePath, signature, sizeof(signature)) ||
      !ReadWhole(listPath, &list))
    return false;
  return crypto_sign_verify_detached(signature, reinterpret_cast<const unsigned char*>(list.data()), list.size(),
                                     key) == 0;
}

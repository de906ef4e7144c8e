// update-sign: keys and detached signatures for signed update lists.
//   update-sign keygen <name>        writes <name>.key (secret, mode 0600) and <name>.pub
//   update-sign sign <name>.key <list>  writes <list>.sig
// Install <name>.pub as "update-key.pub" in the program directory; publish <list>.sig
// beside the list. All files hold hexadecimal text.
#include <sodium.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "update/ListSignature.h"

namespace {

bool WriteHex(const std::string& path, const unsigned char* data, size_t size, mode_t mode) {
  std::string hex(size * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), data, size);
  hex.back() = '\n';
  FILE* file = std::fopen(path.c_str(), "wx");  // never overwrites a key or signature
  if (!file) return false;
  chmod(path.c_str(), mode);
  const bool ok = std::fwrite(hex.data(), 1, hex.size(), file) == hex.size();
  return std::fclose(file) == 0 && ok;
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "update-sign: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) return Fail("libsodium cannot start");
  const std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "keygen" && argc == 3) {
    unsigned char pub[crypto_sign_PUBLICKEYBYTES], secret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(pub, secret);
    const std::string name = argv[2];
    if (!WriteHex(name + ".key", secret, sizeof(secret), 0600)) return Fail("cannot write " + name + ".key (exists?)");
    if (!WriteHex(name + ".pub", pub, sizeof(pub), 0644)) return Fail("cannot write " + name + ".pub (exists?)");
    return 0;
  }
  if (verb == "sign" && argc == 4) {
    unsigned char secret[crypto_sign_SECRETKEYBYTES], signature[crypto_sign_BYTES];
    if (!ReadHexFile(argv[2], secret, sizeof(secret))) return Fail(std::string("not a secret key file: ") + argv[2]);
    std::ifstream file(argv[3], std::ios::binary);
    if (!file) return Fail(std::string("cannot read ") + argv[3]);
    const std::string list((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(list.data()), list.size(), secret);
    sodium_memzero(secret, sizeof(secret));
    const std::string out = std::string(argv[3]) + ".sig";
    std::remove(out.c_str());
    if (!WriteHex(out, signature, sizeof(signature), 0644)) return Fail("cannot write " + out);
    return 0;
  }
  std::fprintf(stderr, "usage: update-sign keygen <name>\n       update-sign sign <name>.key <list file>\n");
  return 2;
}

#pragma once
// Signed update lists (opt-in). When the program directory holds kUpdateKeyFile, the list
// must come with a detached Ed25519 signature (libsodium) in "<list name>.sig".
// Key and signature files hold hexadecimal text (64 and 128 digits); blanks and line ends
// are ignored. tools/update-sign makes keys and signatures. Any thread.
#include <string>

constexpr const char* kUpdateKeyFile = "update-key.pub";

// True when the signature file holds a valid signature of the list file's bytes by the key.
bool CheckListSignature(const std::string& keyPath, const std::string& listPath, const std::string& signaturePath);

// Reads a file of hexadecimal text into exactly size bytes; false otherwise.
bool ReadHexFile(const std::string& path, unsigned char* out, size_t size);

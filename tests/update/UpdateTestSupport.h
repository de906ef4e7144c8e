#pragma once
// Shared pieces of the update tests: files that carry a version note, digests.
#include <elf.h>

#include <cstring>
#include <string>

#include "infra/MD5Digest.h"

namespace updatetest {

// A minimal ELF64 file: header, one SHT_NOTE section holding our version note, the section
// table at the end.
inline std::string VersionedElf(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
  std::string note(12 + 8 + 8, '\0');
  const uint32_t header[3] = {7, 8, 0x56455253};
  std::memcpy(note.data(), header, 12);
  std::memcpy(note.data() + 12, "Vantor", 7);
  const uint16_t parts[4] = {a, b, c, d};
  std::memcpy(note.data() + 20, parts, 8);
  Elf64_Ehdr elf{};
  std::memcpy(elf.e_ident, ELFMAG, SELFMAG);
  elf.e_ident[EI_CLASS] = ELFCLASS64;
  elf.e_shentsize = sizeof(Elf64_Shdr);
  elf.e_shnum = 2;
  elf.e_shoff = sizeof(elf) + note.size();
  Elf64_Shdr sections[2]{};
  sections[1].sh_type = SHT_NOTE;
  sections[1].sh_offset = sizeof(elf);
  sections[1].sh_size = note.size();
  return std::string(reinterpret_cast<const char*>(&elf), sizeof(elf)) + note +
         std::string(reinterpret_cast<const char*>(sections), sizeof(sections));
}

inline std::string Md5Of(const std::string& bytes) {
  CMD5Digest digest;
  if (bytes.empty()) return "D41D8CD98F00B204E9800998ECF8427E";
  digest.Update(bytes.data(), static_cast<int>(bytes.size()));
  return digest.GetHexDigest();
}

}  // namespace updatetest

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace updatetest {

// tools/update-server.py as a child process on a loopback port.
class ServerProcess {
 public:
  ServerProcess(const char* kind, const std::string& folder) {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::vector<std::string> args = {"/usr/bin/python3", VT_SOURCE_DIR "/tools/update-server.py", kind, folder};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    FILE* out = fdopen(fds[0], "r");
    if (std::fscanf(out, "PORT %d", &port_) != 1) port_ = 0;
    std::fclose(out);
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  int Port() const { return port_; }

 private:
  pid_t pid_ = 0;
  int port_ = 0;
};

}  // namespace updatetest

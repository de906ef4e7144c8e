#include "update/FileVersion.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace update {

FileVersion ParseVersionText(const std::string& text) {
  uint32_t parts[4] = {0, 0, 0, 0};
  size_t count = 0;
  size_t pos = 0;
  while (count < 4 && pos < text.size()) {
    const size_t begin = text.find_first_not_of(" ,.\t", pos);
    if (begin == std::string::npos) break;
    size_t end = text.find_first_of(" ,.\t", begin);
    if (end == std::string::npos) end = text.size();
    const std::string piece = text.substr(begin, std::min<size_t>(end - begin, 9));
    parts[count++] = static_cast<uint32_t>(std::strtoul(piece.c_str(), nullptr, 10));
    pos = end;
  }
  return {parts[0] * 65536u + parts[1], parts[2] * 65536u + parts[3]};
}

namespace {

bool ReadAt(int fd, uint64_t offset, void* out, size_t size, uint64_t fileSize) {
  if (offset > fileSize || size > fileSize - offset) return false;
  return pread(fd, out, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// Walks the notes of one SHT_NOTE section for ours.
bool FindNote(const std::vector<unsigned char>& notes, FileVersion* version) {
  size_t pos = 0;
  while (notes.size() - pos >= sizeof(Elf64_Nhdr)) {
    Elf64_Nhdr header;
    std::memcpy(&header, notes.data() + pos, sizeof(header));
    pos += sizeof(header);
    const size_t nameSize = (static_cast<size_t>(header.n_namesz) + 3) & ~size_t{3};
    const size_t descSize = (static_cast<size_t>(header.n_descsz) + 3) & ~size_t{3};
    if (nameSize > notes.size() - pos || descSize > notes.size() - pos - nameSize) return false;
    const char* name = reinterpret_cast<const char*>(notes.data() + pos);
    const unsigned char* desc = notes.data() + pos + nameSize;
    if (header.n_type == kVersionNoteType && header.n_namesz == 7 && std::memcmp(name, "Vantor", 7) == 0 &&
        header.n_descsz == 8) {
      uint16_t parts[4];
      for (int i = 0; i < 4; ++i) parts[i] = static_cast<uint16_t>(desc[2 * i] | desc[2 * i + 1] << 8);
      version->high = static_cast<uint32_t>(parts[0]) << 16 | parts[1];
      version->low = static_cast<uint32_t>(parts[2]) << 16 | parts[3];
      return true;
    }
    pos += nameSize + descSize;
  }
  return false;
}

}  // namespace

FileVersion ReadFileVersion(const std::string& path) {
  FileVersion version;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return version;
  struct stat st{};
  Elf64_Ehdr elf{};
  const uint64_t size = fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  if (ReadAt(fd, 0, &elf, sizeof(elf), size) && std::memcmp(elf.e_ident, ELFMAG, SELFMAG) == 0 &&
      elf.e_ident[EI_CLASS] == ELFCLASS64 && elf.e_shentsize == sizeof(Elf64_Shdr)) {
    for (unsigned i = 0; i < elf.e_shnum; ++i) {
      Elf64_Shdr section{};
      if (!ReadAt(fd, elf.e_shoff + uint64_t{i} * sizeof(section), &section, sizeof(section), size)) break;
      if (section.sh_type != SHT_NOTE || section.sh_size > 65536) continue;
      std::vector<unsigned char> notes(section.sh_size);
      if (ReadAt(fd, section.sh_offset, notes.data(), notes.size(), size) && FindNote(notes, &version)) break;
    }
  }
  close(fd);
  return version;
}

}  // namespace update

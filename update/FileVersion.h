#pragma once
// Four-part versions (each part 16 bits) as the update list writes them and as our own
// program files carry them. Pure functions; any thread.
//
// Our deliverables carry their version in an ELF note: owner "Vantor", type
// kVersionNoteType, description four little-endian 16-bit parts (major first). The build
// writes it (cmake/VtVersion.cmake); `readelf -n <file>` shows it.
#include <cstdint>
#include <string>

namespace update {

constexpr uint32_t kVersionNoteType = 0x56455253;  // "VERS"

struct FileVersion {
  uint32_t high = 0;  // a << 16 | b
  uint32_t low = 0;   // c << 16 | d
  bool IsZero() const { return high == 0 && low == 0; }
  friend auto operator<=>(const FileVersion&, const FileVersion&) = default;
};

// Pieces split at blanks, commas, full stops and tabs; empty pieces skipped; the first four,
// each cut to 9 characters, read as decimal numbers (missing ones 0).
FileVersion ParseVersionText(const std::string& text);

// The version note of an ELF file; 0.0.0.0 for a missing file, a file that is not ELF or
// one without the note. Never reads outside the file, however it is damaged.
FileVersion ReadFileVersion(const std::string& path);

}  // namespace update

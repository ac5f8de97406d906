#include "crash/minidump/ElfBuildId.h"

#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

#include "crash/minidump/ProcessMemory.h"
#include "platform/ScopedFd.h"

namespace crash {
namespace {

using ReadAt = std::function<bool(std::uint64_t where, std::size_t size, void* out)>;

// A note segment is small; a larger one is not worth reading in a crash.
constexpr std::uint64_t kMaxNoteSize = 64 * 1024;
constexpr std::uint16_t kMaxProgramHeaders = 256;

// Finds the build-id note in `notes`.
bool FindBuildIdNote(const std::vector<std::uint8_t>& notes, std::vector<std::uint8_t>& id) {
  std::size_t pos = 0;
  while (pos + sizeof(Elf64_Nhdr) <= notes.size()) {
    Elf64_Nhdr note;
    std::memcpy(&note, notes.data() + pos, sizeof note);
    pos += sizeof note;
    const std::size_t nameSize = (note.n_namesz + 3u) & ~3u;
    const std::size_t descSize = (note.n_descsz + 3u) & ~3u;
    if (nameSize > notes.size() - pos || descSize > notes.size() - pos - nameSize) return false;
    if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
        std::memcmp(notes.data() + pos, "GNU", 4) == 0 && note.n_descsz > 0) {
      const std::uint8_t* desc = notes.data() + pos + nameSize;
      id.assign(desc, desc + note.n_descsz);
      return true;
    }
    pos += nameSize + descSize;
  }
  return false;
}

// `inMemory`: segments are found at their load address (base + bias), else at
// their file offset.
bool ReadBuildId(const ReadAt& read, std::uint64_t base, bool inMemory,
                 std::vector<std::uint8_t>& id) {
  Elf64_Ehdr ehdr;
  if (!read(base, sizeof ehdr, &ehdr)) return false;
  if (std::memcmp(ehdr.e_ident, ELFMAG, SELFMAG) != 0 || ehdr.e_ident[EI_CLASS] != ELFCLASS64 ||
      ehdr.e_phentsize != sizeof(Elf64_Phdr) || ehdr.e_phnum == 0 ||
      ehdr.e_phnum > kMaxProgramHeaders) {
    return false;
  }
  std::vector<Elf64_Phdr> phdrs(ehdr.e_phnum);
  if (!read(base + ehdr.e_phoff, phdrs.size() * sizeof(Elf64_Phdr), phdrs.data())) return false;

  // The mapping at `base` holds file offset 0; its segment gives the load bias.
  std::uint64_t bias = base;
  if (inMemory) {
    for (const Elf64_Phdr& ph : phdrs) {
      if (ph.p_type == PT_LOAD && ph.p_offset == 0) {
        bias = base - ph.p_vaddr;
        break;
      }
    }
  }
  for (const Elf64_Phdr& ph : phdrs) {
    if (ph.p_type != PT_NOTE || ph.p_filesz == 0 || ph.p_filesz > kMaxNoteSize) continue;
    std::vector<std::uint8_t> notes(ph.p_filesz);
    const std::uint64_t where = inMemory ? bias + ph.p_vaddr : base + ph.p_offset;
    if (!read(where, notes.size(), notes.data())) continue;
    if (FindBuildIdNote(notes, id)) return true;
  }
  return false;
}

}  // namespace

bool ReadElfBuildIdFromMemory(const ProcessMemory& memory, std::uint64_t base,
                              std::vector<std::uint8_t>& id) {
  return ReadBuildId(
      [&memory](std::uint64_t where, std::size_t size, void* out) {
        return memory.Read(where, size, out);
      },
      base, true, id);
}

bool ReadElfBuildIdFromFile(const std::string& path, std::vector<std::uint8_t>& id) {
  platform::ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  const int raw = fd.get();
  return ReadBuildId(
      [raw](std::uint64_t where, std::size_t size, void* out) {
        return ::pread(raw, out, size, static_cast<off_t>(where)) == static_cast<ssize_t>(size);
      },
      0, false, id);
}

}  // namespace crash

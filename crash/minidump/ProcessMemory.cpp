#include "crash/minidump/ProcessMemory.h"

#include <cerrno>
#include <cstring>
#include <sys/uio.h>

namespace crash {
namespace {
constexpr std::uint64_t kPage = 4096;
}  // namespace

std::size_t ProcessMemory::ReadPrefix(std::uint64_t address, std::size_t size, void* out) const {
  std::size_t done = 0;
  while (done < size) {
    iovec local{static_cast<char*>(out) + done, size - done};
    iovec remote{reinterpret_cast<void*>(address + done), size - done};
    const ssize_t n = ::process_vm_readv(pid_, &local, 1, &remote, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

bool ProcessMemory::Read(std::uint64_t address, std::size_t size, void* out) const {
  return ReadPrefix(address, size, out) == size;
}

std::size_t ProcessMemory::ReadFilling(std::uint64_t address, std::size_t size, void* out) const {
  char* bytes = static_cast<char*>(out);
  std::size_t done = 0;
  std::size_t read = 0;
  while (done < size) {
    const std::size_t n = ReadPrefix(address + done, size - done, bytes + done);
    done += n;
    read += n;
    if (done >= size) break;
    // Skip the page that failed, as zeros.
    const std::uint64_t next = ((address + done) / kPage + 1) * kPage;
    std::size_t gap = static_cast<std::size_t>(next - (address + done));
    if (gap > size - done) gap = size - done;
    std::memset(bytes + done, 0, gap);
    done += gap;
  }
  return read;
}

}  // namespace crash

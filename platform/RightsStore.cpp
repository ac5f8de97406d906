#include "platform/RightsStore.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kllib/KLLib.h"

namespace platform {
namespace {

constexpr const char kDefaultPath[] = "/var/lib/orvanta/lsa/policy";
constexpr const char kPathVariable[] = "ORVANTA_LSA_POLICY_PATH";

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// mkdir -p; 0 or the error number of the component that failed.
int MakeFolders(const std::string& folder) {
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  for (size_t pos = folder.find('/', 1);; pos = folder.find('/', pos + 1)) {
    const std::string prefix = folder.substr(0, pos);
    if (!prefix.empty() && prefix.back() != '/' && mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
      return errno;
    }
    if (pos == std::string::npos) break;
  }
  if (stat(folder.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

int ReadAll(int fd, std::string& text) {
  text.clear();
  char buf[4096];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = pread(fd, buf, sizeof(buf), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    text.append(buf, static_cast<size_t>(n));
    offset += n;
  }
}

int WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

bool HoldsLine(const std::string& text, const std::string& line) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (text.compare(start, end - start, line) == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::string RightsStore::Path() {
  const char* overridden = std::getenv(kPathVariable);
  return overridden != nullptr && overridden[0] != '\0' ? overridden : kDefaultPath;
}

int RightsStore::Open() {
  if (fd_.valid()) return 0;
  const std::string path = Path();
  if (const int err = MakeFolders(FolderOf(path)); err != 0) return err;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return errno;
  path_ = path;
  fd_.reset(fd);
  return 0;
}

// Locks the file that is the store now: a writer that renamed a new store
// in while this one waited leaves the old file locked in vain, so reopen.
int RightsStore::LockCurrent() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    while (flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return errno;
    }
    struct stat held;
    struct stat current;
    if (fstat(fd_.get(), &held) != 0) return errno;
    if (stat(path_.c_str(), &current) == 0 && current.st_dev == held.st_dev && current.st_ino == held.st_ino) {
      return 0;
    }
    const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return errno;
    fd_.reset(fd);
  }
  return EAGAIN;
}

int RightsStore::AddAccountRight(const std::wstring& sid, const std::wstring& right) {
  if (!fd_.valid()) return EBADF;
  if (const int err = LockCurrent(); err != 0) return err;
  // Closing the descriptor at the end of the call (or the next lock) releases the lock.
  struct Unlock {
    int fd;
    ~Unlock() { flock(fd, LOCK_UN); }
  } unlock{fd_.get()};

  const std::string line = KLLib::strings::toAstr(sid) + " " + KLLib::strings::toAstr(right);
  std::string text;
  if (const int err = ReadAll(fd_.get(), text); err != 0) return err;
  if (HoldsLine(text, line)) return 0;
  if (!text.empty() && text.back() != '\n') text += '\n';
  text += line + "\n";

  const std::string folder = FolderOf(path_);
  std::string temp = path_ + ".XXXXXX";
  ScopedFd out(mkostemp(temp.data(), O_CLOEXEC));
  if (out.get() < 0) return errno;
  int err = WriteAll(out.get(), text);
  if (err == 0 && fchmod(out.get(), 0644) != 0) err = errno;
  if (err == 0 && fsync(out.get()) != 0) err = errno;
  if (err == 0 && rename(temp.c_str(), path_.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temp.c_str());
    return err;
  }
  ScopedFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) fsync(dir.get());
  return 0;
}

}  // namespace platform

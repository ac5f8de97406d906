#include "platform/AppDataFolder.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "kllib/KLLib.h"

namespace platform {
namespace {

bool IsAbsolute(const char* path) { return path != nullptr && path[0] == '/'; }

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p: creates each missing component; true when `path` ends up a folder.
bool MakeFolders(const std::string& path) {
  if (IsFolder(path)) return true;
  for (size_t pos = path.find('/', 1); ; pos = path.find('/', pos + 1)) {
    const std::string prefix = path.substr(0, pos);
    if (!prefix.empty() && prefix.back() != '/' &&
        mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      return false;
    }
    if (pos == std::string::npos) break;
  }
  return IsFolder(path);
}

// "/a/b//" -> "/a/b"; "/" -> "" (so that appending "/x" gives "/x").
std::string WithoutTrailingSlashes(std::string path) {
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

// The effective user's home from the password database; empty when unknown.
std::string PasswordDatabaseHome() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  while (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr || !IsAbsolute(found->pw_dir)) return std::string();
  return found->pw_dir;
}

}  // namespace

bool GetAppDataFolder(std::wstring& folder) {
  std::vector<std::string> candidates;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (IsAbsolute(xdg)) candidates.push_back(xdg);
  const char* home = std::getenv("HOME");
  if (IsAbsolute(home)) candidates.push_back(WithoutTrailingSlashes(home) + "/.config");
  const std::string accountHome = PasswordDatabaseHome();
  if (!accountHome.empty()) candidates.push_back(WithoutTrailingSlashes(accountHome) + "/.config");

  for (const std::string& candidate : candidates) {
    std::string path = WithoutTrailingSlashes(candidate);
    if (path.empty()) path = "/";
    if (MakeFolders(path)) {
      folder = KLLib::strings::toWstr(path);
      return true;
    }
  }
  return false;
}

}  // namespace platform

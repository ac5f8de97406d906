#include "platform/CommandLine.h"

#include <cstdlib>
#include <sys/stat.h>

#include "kllib/KLLib.h"

namespace platform {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool IsFileNotFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// A name with '/' is a path; a bare name is searched in $PATH, as the spawn
// that runs it later does.
bool NamesExistingFile(const std::wstring& name) {
  if (name.empty()) return false;
  const std::string narrow = KLLib::strings::toAstr(name);
  if (narrow.find('/') != std::string::npos) return IsFileNotFolder(narrow);
  const char* path = std::getenv("PATH");
  const std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    const size_t end = dirs.find(':', start);
    std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (dir.empty()) dir = ".";
    if (IsFileNotFolder(dir + "/" + narrow)) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

}  // namespace

std::vector<std::wstring> SplitArguments(const std::wstring& arguments) {
  std::vector<std::wstring> result;
  std::wstring current;
  bool inArgument = false;
  bool quoted = false;
  size_t i = 0;
  const size_t n = arguments.size();
  while (i < n) {
    const wchar_t c = arguments[i];
    if (!quoted && IsBlank(c)) {
      if (inArgument) {
        result.push_back(current);
        current.clear();
        inArgument = false;
      }
      ++i;
      continue;
    }
    inArgument = true;
    if (c == L'\\') {
      size_t count = 0;
      while (i < n && arguments[i] == L'\\') {
        ++count;
        ++i;
      }
      if (i < n && arguments[i] == L'"') {
        current.append(count / 2, L'\\');
        if (count % 2 == 1) {
          current += L'"';
          ++i;
        }
        // An even count leaves the quotation mark to toggle quoting below.
      } else {
        current.append(count, L'\\');
      }
      continue;
    }
    if (c == L'"') {
      if (quoted && i + 1 < n && arguments[i + 1] == L'"') {
        current += L'"';
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    current += c;
    ++i;
  }
  if (inArgument) result.push_back(current);
  return result;
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine) {
  std::wstring program;
  size_t rest = 0;
  if (!commandLine.empty() && commandLine[0] == L'"') {
    const size_t close = commandLine.find(L'"', 1);
    program = commandLine.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
    rest = close == std::wstring::npos ? commandLine.size() : close + 1;
  } else {
    size_t firstEnd = commandLine.find_first_of(L" \t");
    if (firstEnd == std::wstring::npos) firstEnd = commandLine.size();
    program = commandLine.substr(0, firstEnd);
    rest = firstEnd;
    // Like the home system: the shortest prefix ending before a space that names a file.
    for (size_t end = firstEnd; end != std::wstring::npos && !program.empty();) {
      const std::wstring candidate = commandLine.substr(0, end);
      if (NamesExistingFile(candidate)) {
        program = candidate;
        rest = end;
        break;
      }
      if (end >= commandLine.size()) break;
      end = commandLine.find_first_of(L" \t", end + 1);
      if (end == std::wstring::npos) end = commandLine.size();
    }
  }
  std::vector<std::wstring> argv{program};
  for (auto& argument : SplitArguments(commandLine.substr(rest))) argv.push_back(std::move(argument));
  return argv;
}

}  // namespace platform

// libFuzzer target: the settings file. Whatever bytes it holds, loading must
// not crash and host, port and debug level never become empty; a value written
// into a well-formed file (escaped as XML wants) is read back as it was.
//
// Input: one selector byte; bit 0 clear: the rest is the whole file; set: the
// rest is the value of "CoordinatorHost" in an otherwise fixed file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "config/CSettings.h"
#include "kllib/KLLib.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

std::string root;
std::string settingsFile;

void RemoveRoot() {
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}

void WriteSettingsFile(const std::string& content) {
  std::FILE* file = std::fopen(settingsFile.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(content.empty() || std::fwrite(content.data(), 1, content.size(), file) == content.size());
  std::fclose(file);
}

CSettings* LoadFresh() {
  CSettings::DestroyInstance();
  CSettings* settings = CSettings::Instance();
  settings->Load();
  return settings;
}

bool IsXmlBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n'; }

// Characters XML 1.0 allows in text, apart from '\r', which the parser turns
// into '\n' on the way in.
bool IsXmlTextChar(wchar_t c) {
  const auto u = static_cast<std::uint32_t>(c);
  return u == 0x9 || u == 0xA || (u >= 0x20 && u <= 0xD7FF) || (u >= 0xE000 && u <= 0xFFFD) ||
         (u >= 0x10000 && u <= 0x10FFFF);
}

void CheckHostValue(const std::string& bytes) {
  std::wstring value;
  for (wchar_t c : KLLib::strings::toWstr(bytes)) {
    if (IsXmlTextChar(c)) value += c;
  }
  std::wstring escaped;
  for (wchar_t c : value) {
    if (c == L'&') {
      escaped += L"&amp;";
    } else if (c == L'<') {
      escaped += L"&lt;";
    } else if (c == L'>') {
      escaped += L"&gt;";
    } else {
      escaped += c;
    }
  }
  WriteSettingsFile("<?xml version=\"1.0\"?>\n<link><parameters>\n<param name=\"CoordinatorHost\">" +
                    KLLib::strings::toAstr(escaped) + "</param>\n</parameters></link>\n");
  const std::wstring host = LoadFresh()->GetCoordinatorHost();
  // A blank-only text is no value: the default stays.
  bool blank = true;
  for (wchar_t c : value) blank = blank && IsXmlBlank(c);
  if (!blank) FUZZ_CHECK(host == value);
  FUZZ_CHECK(!host.empty());
}

void CheckAnyFile(const std::string& bytes) {
  WriteSettingsFile(bytes);
  CSettings* settings = LoadFresh();
  FUZZ_CHECK(!settings->GetCoordinatorHost().empty());
  FUZZ_CHECK(!settings->GetCoordinatorPort().empty());
  FUZZ_CHECK(!settings->GetDebugLevel().empty());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  char pattern[] = "/tmp/ovupdate-fuzz-settings-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  root = pattern;
  std::atexit(RemoveRoot);
  setenv("XDG_CONFIG_HOME", pattern, 1);
  std::filesystem::create_directories(root + "/Orvanta/Keldra 7/Settings/Services");
  settingsFile = KLLib::strings::toAstr(CSettings::Instance()->GetSettingsFilePath());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) == 0) {
    CheckAnyFile(rest);
  } else {
    CheckHostValue(rest);
  }
  return 0;
}

#include "config/SettingsFile.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "config/CSettings.h"
#include "kllib/KLLib.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHolder = std::unique_ptr<std::FILE, FileCloser>;

// The whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::wstring& path, std::vector<char>& content) {
  // The path goes to the system byte for byte, whatever characters it holds.
  FileHolder file(std::fopen(KLLib::strings::toAstr(path).c_str(), "rb"));
  if (!file) return false;
  std::vector<char> data;
  char chunk[16384];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    data.insert(data.end(), chunk, chunk + got);
  }
  if (std::ferror(file.get())) return false;
  content.swap(data);
  return true;
}

}  // namespace

std::wstring ReadParam(const pugi::xml_document& document, const std::wstring& key) {
  const std::string query = "link/parameters/param[@name='" + KLLib::strings::toAstr(key) + "']";
  try {
    const pugi::xpath_node found = document.select_node(query.c_str());
    const pugi::xml_node param = found.node();
    if (found.attribute() || !param) return std::wstring();
    const pugi::xml_node first = param.first_child();
    if (!first) return std::wstring();
    return pugi::as_wide(first.value());
  } catch (const pugi::xpath_exception&) {
    return std::wstring();
  }
}

void ReadBoolParam(const pugi::xml_document& document, const std::wstring& key, bool& value) {
  const std::wstring text = ReadParam(document, key);
  if (text.empty()) return;
  value = text == L"1" || text == L"true" || text == L"yes";
}

void CSettings::Load() {
  std::vector<char> content;
  if (!ReadWholeFile(GetSettingsFilePath(), content)) return;

  pugi::xml_document document;
  if (!document.load_buffer(content.data(), content.size(), pugi::parse_default, pugi::encoding_auto)) {
    return;
  }

  const struct {
    const wchar_t* key;
    std::wstring* field;
  } texts[] = {
      {L"CoordinatorHost", &coordinatorHost},
      {L"CoordinatorPort", &coordinatorPort},
      {L"DebugLevel", &debugLevel},
  };
  for (const auto& text : texts) {
    std::wstring value = ReadParam(document, text.key);
    if (!value.empty()) text.field->swap(value);
  }
  ReadBoolParam(document, L"IsSecure", isSecure);
}

#include "config/SettingsFile.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "config/CSettings.h"
#include "kllib/KLLib.h"
#include "tests/config/TestEnvironment.h"

namespace {

// A settings document around the given param elements.
std::string Doc(const std::string& params) {
  return "<?xml version=\"1.0\"?>\n<link>\n <parameters>\n" + params + " </parameters>\n</link>\n";
}

std::string Param(const std::string& name, const std::string& value) {
  return "  <param name=\"" + name + "\">" + value + "</param>\n";
}

enum class Utf16 { kLittleEndian, kBigEndian };

// The same text in UTF-16, with or without a byte-order mark.
std::string ToUtf16(const std::string& utf8, Utf16 order, bool bom) {
  std::u16string units;
  if (bom) units += u'\uFEFF';
  for (const wchar_t wc : KLLib::strings::toWstr(utf8)) {
    const auto cp = static_cast<char32_t>(wc);
    if (cp >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(cp);
    }
  }
  std::string bytes;
  for (const char16_t unit : units) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    if (order == Utf16::kLittleEndian) {
      bytes += low;
      bytes += high;
    } else {
      bytes += high;
      bytes += low;
    }
  }
  return bytes;
}

// UTF-32 little-endian without a byte-order mark: "<" followed by three zero bytes.
std::string ToUtf32Le(const std::string& utf8) {
  std::string bytes;
  for (const wchar_t wc : KLLib::strings::toWstr(utf8)) {
    const auto cp = static_cast<char32_t>(wc);
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((cp >> shift) & 0xFF);
  }
  return bytes;
}

// A file with every setting changed, non-ASCII text included.
const std::string kFull = Doc(Param("CoordinatorHost", "h\xC3\xB4te-\xF0\x9F\x98\x80") +
                              Param("CoordinatorPort", "1756") + Param("DebugLevel", "3") +
                              Param("IsSecure", "yes"));
const std::wstring kFullHost = L"h\u00F4te-\U0001F600";

struct LoadCase {
  const char* name;
  std::optional<std::string> file;  // nullopt: no file at the path
  std::wstring host = L"localhost";
  std::wstring port = L"1755";
  std::wstring level = L"1";
  bool secure = false;
};

std::vector<LoadCase> LoadCases() {
  return {
      {"no file", std::nullopt},
      {"empty file", ""},
      {"every key", kFull, kFullHost, L"1756", L"3", true},
      {"example of one host and IsSecure",
       Doc(Param("CoordinatorHost", "backup-hub") + Param("IsSecure", "yes")), L"backup-hub", L"1755", L"1",
       true},
      {"syntax error after a valid param",
       Doc(Param("CoordinatorHost", "h") + Param("CoordinatorPort", "2") + "<param name=\"DebugLevel\">4</para>")},
      {"unclosed document element", "<link><parameters>" + Param("CoordinatorHost", "h") + "</parameters>"},
      {"not XML at all", "CoordinatorHost=h\n"},
      {"CDATA value", Doc(Param("CoordinatorHost", "<![CDATA[a<b>&c]]>")), L"a<b>&c"},
      {"entity and character references", Doc(Param("CoordinatorHost", "h&amp;x&#65;&#x42;&lt;&quot;")),
       L"h&xAB<\""},
      {"line ends become line feeds", Doc(Param("DebugLevel", "a\r\nb\rc")), L"localhost", L"1755", L"a\nb\nc"},
      {"value only in an attribute", Doc("  <param name=\"CoordinatorHost\" value=\"h\"/>\n")},
      {"port with a space before and after", Doc(Param("CoordinatorPort", " 1756 ")), L"localhost", L" 1756 "},
      {"whitespace-only port", Doc(Param("CoordinatorPort", " \t\n "))},
      {"empty port", Doc(Param("CoordinatorPort", ""))},
      {"port not a number", Doc(Param("CoordinatorPort", "99999x")), L"localhost", L"99999x"},
      {"two CoordinatorHost params: the first wins",
       Doc(Param("CoordinatorHost", "first") + Param("CoordinatorHost", "second")), L"first"},
      {"lower-case key", Doc(Param("coordinatorhost", "h"))},
      {"lower-case element", "<link><parameters><Param name=\"CoordinatorHost\">h</Param></parameters></link>"},
      {"first child is an element", Doc(Param("CoordinatorHost", "<b>x</b>y"))},
      {"comment before the text", Doc(Param("CoordinatorHost", "<!-- old: a -->b")), L"b"},
      {"IsSecure true", Doc(Param("IsSecure", "true")), L"localhost", L"1755", L"1", true},
      {"IsSecure yes", Doc(Param("IsSecure", "yes")), L"localhost", L"1755", L"1", true},
      {"IsSecure 1", Doc(Param("IsSecure", "1")), L"localhost", L"1755", L"1", true},
      {"IsSecure TRUE", Doc(Param("IsSecure", "TRUE"))},
      {"IsSecure Yes", Doc(Param("IsSecure", "Yes"))},
      {"IsSecure 0", Doc(Param("IsSecure", "0"))},
      {"IsSecure with spaces", Doc(Param("IsSecure", " 1 "))},
      {"IsSecure empty", Doc(Param("IsSecure", ""))},
      {"document element other than link",
       "<settings><parameters>" + Param("CoordinatorHost", "h") + "</parameters></settings>"},
      {"param one level too deep",
       "<link><group><parameters>" + Param("CoordinatorHost", "h") + "</parameters></group></link>"},
      {"several parameters elements",
       "<link><parameters>" + Param("CoordinatorHost", "one") + "</parameters><other/><parameters>" +
           Param("CoordinatorHost", "two") + Param("CoordinatorPort", "7") + "</parameters></link>",
       L"one", L"7"},
      {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF" + kFull, kFullHost, L"1756", L"3", true},
      {"UTF-16 little-endian with a byte-order mark", ToUtf16(kFull, Utf16::kLittleEndian, true), kFullHost,
       L"1756", L"3", true},
      {"UTF-16 big-endian with a byte-order mark", ToUtf16(kFull, Utf16::kBigEndian, true), kFullHost, L"1756",
       L"3", true},
      {"UTF-16 little-endian without a byte-order mark",
       ToUtf16(kFull.substr(kFull.find("<link>")), Utf16::kLittleEndian, false), kFullHost, L"1756", L"3", true},
      {"UTF-16 big-endian without a byte-order mark",
       ToUtf16(kFull.substr(kFull.find("<link>")), Utf16::kBigEndian, false), kFullHost, L"1756", L"3", true},
      {"UTF-32 little-endian without a byte-order mark", ToUtf32Le(kFull.substr(kFull.find("<link>"))),
       kFullHost, L"1756", L"3", true},
  };
}

using SettingsFileTest = SettingsTest;

TEST_F(SettingsFileTest, LoadTable) {
  for (const LoadCase& c : LoadCases()) {
    SCOPED_TRACE(c.name);
    CSettings::DestroyInstance();
    std::filesystem::remove_all(root_ + "/config");
    if (c.file) WriteFile(SettingsFilePath(), *c.file);

    CSettings* settings = CSettings::Instance();
    ASSERT_NE(settings, nullptr);
    settings->Load();

    EXPECT_EQ(settings->GetCoordinatorHost(), c.host);
    EXPECT_EQ(settings->GetCoordinatorPort(), c.port);
    EXPECT_EQ(settings->GetDebugLevel(), c.level);
    EXPECT_EQ(CSettingsInspector::IsSecure(*settings), c.secure);
  }
}

TEST_F(SettingsFileTest, SettingsPathThatIsAFolderKeepsDefaults) {
  std::filesystem::create_directories(SettingsFilePath());
  CSettings* settings = CSettings::Instance();
  settings->Load();
  EXPECT_EQ(settings->GetCoordinatorHost(), L"localhost");
  EXPECT_EQ(settings->GetCoordinatorPort(), L"1755");
  EXPECT_EQ(settings->GetDebugLevel(), L"1");
}

// The file is found by its path whatever bytes the folder names hold.
TEST_F(SettingsFileTest, LoadsThroughAnyFolderName) {
  const std::vector<std::string> folders = {
      "plain",
      "with space",
      "\xD0\xBA\xD0\xBE\xD0\xBD\xD1\x84\xD0\xB8\xD0\xB3 \xC3\xBC",  // Cyrillic and Latin-1 letters
      "bad\xFF\xFE" "bytes",                                          // not UTF-8 at all
  };
  for (const std::string& folder : folders) {
    SCOPED_TRACE(folder);
    CSettings::DestroyInstance();
    const std::string configHome = root_ + "/" + folder;
    xdg_.Set(configHome);
    WriteFile(SettingsFilePath(configHome), Doc(Param("CoordinatorHost", "found")));

    CSettings* settings = CSettings::Instance();
    EXPECT_EQ(KLLib::strings::toAstr(settings->GetSettingsFilePath()), SettingsFilePath(configHome));
    settings->Load();
    EXPECT_EQ(settings->GetCoordinatorHost(), L"found");
  }
}

// A later load overrides again, and its empty values leave the earlier ones.
TEST_F(SettingsFileTest, SecondLoadOverridesOnlyNonEmptyValues) {
  CSettings* settings = CSettings::Instance();
  WriteFile(SettingsFilePath(), kFull);
  settings->Load();
  WriteFile(SettingsFilePath(), Doc(Param("CoordinatorHost", "") + Param("CoordinatorPort", "9") +
                                    Param("IsSecure", "")));
  settings->Load();
  EXPECT_EQ(settings->GetCoordinatorHost(), kFullHost);
  EXPECT_EQ(settings->GetCoordinatorPort(), L"9");
  EXPECT_EQ(settings->GetDebugLevel(), L"3");
  EXPECT_TRUE(CSettingsInspector::IsSecure(*settings));

  WriteFile(SettingsFilePath(), Doc(Param("IsSecure", "no")));
  settings->Load();
  EXPECT_FALSE(CSettingsInspector::IsSecure(*settings));

  // A broken file after a good one changes nothing.
  WriteFile(SettingsFilePath(), "<link>");
  settings->Load();
  EXPECT_EQ(settings->GetCoordinatorPort(), L"9");
}

pugi::xml_document Parse(const std::string& xml) {
  pugi::xml_document document;
  EXPECT_TRUE(document.load_string(xml.c_str()));
  return document;
}

TEST(ReadParamTest, Keys) {
  const pugi::xml_document document =
      Parse(Doc(Param("CoordinatorHost", "h") + Param("\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87", "v") +
                Param("", "unnamed")));
  const struct {
    std::wstring key;
    std::wstring value;
  } cases[] = {
      {L"CoordinatorHost", L"h"},
      {L"\u043A\u043B\u044E\u0447", L"v"},  // non-ASCII key
      {L"Missing", L""},
      {L"", L"unnamed"},
      // Keys that make the query invalid: no value, and nothing thrown.
      {L"Coordinator'Host", L""},
      {L"'", L""},
      {L"a']/..[@b='", L""},
      {L"x'[", L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(KLLib::strings::toAstr(c.key));
    EXPECT_EQ(ReadParam(document, c.key), c.value);
  }
  // A failed query leaves the document usable for the next key.
  EXPECT_EQ(ReadParam(document, L"CoordinatorHost"), L"h");
}

TEST(ReadBoolParamTest, KeepsValueWhenEmptyOrMissing) {
  const pugi::xml_document document =
      Parse(Doc(Param("Empty", "") + Param("Zero", "0") + Param("One", "1") + Param("Blank", "   ")));
  const struct {
    const wchar_t* key;
    bool before;
    bool after;
  } cases[] = {
      {L"Empty", true, true},   {L"Empty", false, false}, {L"Missing", true, true},
      {L"Blank", true, true},   {L"Zero", true, false},   {L"One", false, true},
      {L"Bad'key", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(KLLib::strings::toAstr(c.key) + (c.before ? " from true" : " from false"));
    bool value = c.before;
    ReadBoolParam(document, c.key, value);
    EXPECT_EQ(value, c.after);
  }
}

}  // namespace

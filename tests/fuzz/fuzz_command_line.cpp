// libFuzzer target: the splitter of the command lines that the launcher runs.
// Besides not crashing, the splitter must give back any argument vector that
// was quoted by the C runtime rules, with a quoted or an unquoted program.
//
// Input: one selector byte, then the text. Selector bits 0-1 choose the check,
// bit 2 reads the text as raw 32-bit units (any value, also invalid code
// points) instead of UTF-8, bit 3 quotes a quotation mark inside quotes by
// doubling it instead of by a backslash.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kllib/KLLib.h"
#include "platform/CommandLine.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

using Argv = std::vector<std::wstring>;

std::string scratch;
bool doubledQuotes = false;

void RemoveScratch() {
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
}

std::wstring DecodeText(const std::uint8_t* data, std::size_t size, bool rawUnits) {
  if (!rawUnits) return KLLib::strings::toWstr(std::string(reinterpret_cast<const char*>(data), size));
  std::wstring text;
  for (std::size_t i = 0; i + 4 <= size; i += 4) {
    const std::uint32_t unit = static_cast<std::uint32_t>(data[i]) | (static_cast<std::uint32_t>(data[i + 1]) << 8) |
                               (static_cast<std::uint32_t>(data[i + 2]) << 16) |
                               (static_cast<std::uint32_t>(data[i + 3]) << 24);
    text.push_back(static_cast<wchar_t>(unit));
  }
  return text;
}

// NUL separates the arguments of the vector under test.
Argv SplitAtNul(const std::wstring& text) {
  Argv argv;
  if (text.empty()) return argv;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(L'\0', start);
    argv.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
    if (end == std::wstring::npos) return argv;
    start = end + 1;
  }
}

// How a caller that follows the C runtime rules quotes one argument: a
// quotation mark inside is written \" or, in the other form the rules allow, "".
std::wstring Quote(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  for (std::size_t i = 0;; ++i) {
    std::size_t backslashes = 0;
    while (i < argument.size() && argument[i] == L'\\') {
      ++i;
      ++backslashes;
    }
    if (i == argument.size()) {
      out.append(backslashes * 2, L'\\');
      break;
    }
    if (argument[i] == L'"' && doubledQuotes) {
      out.append(backslashes * 2, L'\\');
      out += L'"';
    } else if (argument[i] == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    out += argument[i];
  }
  out += L'"';
  return out;
}

std::wstring QuoteAll(const Argv& arguments) {
  std::wstring line;
  for (const std::wstring& argument : arguments) {
    if (!line.empty()) line += L' ';
    line += Quote(argument);
  }
  return line;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Any text: the pieces must fit together again.
void CheckAnyText(const std::wstring& text) {
  const Argv arguments = platform::SplitArguments(text);
  FUZZ_CHECK(platform::SplitArguments(QuoteAll(arguments)) == arguments);

  const Argv argv = platform::SplitCommandLine(text);
  FUZZ_CHECK(!argv.empty());
  std::size_t rest = 0;
  if (!text.empty() && text[0] == L'"') {
    const std::size_t close = text.find(L'"', 1);
    FUZZ_CHECK(argv[0] == text.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1));
    rest = close == std::wstring::npos ? text.size() : close + 1;
  } else {
    // The program is a prefix that ends at a blank or at the end.
    FUZZ_CHECK(text.compare(0, argv[0].size(), argv[0]) == 0);
    rest = argv[0].size();
    FUZZ_CHECK(rest == text.size() || IsBlank(text[rest]));
  }
  FUZZ_CHECK(Argv(argv.begin() + 1, argv.end()) == platform::SplitArguments(text.substr(rest)));
}

// A vector quoted by the rules splits back into itself.
void CheckArgumentRoundTrip(const std::wstring& text) {
  const Argv arguments = SplitAtNul(text);
  FUZZ_CHECK(platform::SplitArguments(QuoteAll(arguments)) == arguments);
}

// A quoted program (which cannot hold a quotation mark) and quoted arguments.
void CheckQuotedProgram(const std::wstring& text) {
  Argv argv = SplitAtNul(text);
  if (argv.empty()) argv.emplace_back();
  std::wstring& program = argv[0];
  for (std::size_t at; (at = program.find(L'"')) != std::wstring::npos;) program.erase(at, 1);
  const Argv arguments(argv.begin() + 1, argv.end());
  std::wstring line = L"\"" + program + L"\"";
  if (!arguments.empty()) line += L" " + QuoteAll(arguments);
  FUZZ_CHECK(platform::SplitCommandLine(line) == argv);
}

// An unquoted program found on $PATH or by its path, also one with a space
// in its name, or one that does not exist; then quoted arguments.
void CheckUnquotedProgram(const std::wstring& text) {
  Argv arguments = SplitAtNul(text);
  std::size_t choice = 0;
  if (!arguments.empty() && !arguments[0].empty()) choice = static_cast<std::uint32_t>(arguments[0][0]) % 4;
  const std::wstring programs[] = {L"tool", L"two words", KLLib::strings::toWstr(scratch) + L"/two words",
                                   L"missing"};
  const std::wstring& program = programs[choice];
  std::wstring line = program;
  if (!arguments.empty()) line += L" " + QuoteAll(arguments);
  Argv expected{program};
  expected.insert(expected.end(), arguments.begin(), arguments.end());
  FUZZ_CHECK(platform::SplitCommandLine(line) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  char pattern[] = "/tmp/ovupdate-fuzz-command-line-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  scratch = pattern;
  std::atexit(RemoveScratch);
  std::ofstream(scratch + "/tool") << "";
  std::ofstream(scratch + "/two words") << "";
  std::filesystem::create_directory(scratch + "/two");  // a folder is not a program
  // Only the scratch folder, so that lookups stay cheap and known.
  setenv("PATH", scratch.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t selector = data[0];
  doubledQuotes = (selector & 8) != 0;
  const std::wstring text = DecodeText(data + 1, size - 1, (selector & 4) != 0);
  switch (selector & 3) {
    case 0: CheckAnyText(text); break;
    case 1: CheckArgumentRoundTrip(text); break;
    case 2: CheckQuotedProgram(text); break;
    default: CheckUnquotedProgram(text); break;
  }
  return 0;
}

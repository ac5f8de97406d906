#include "crash/CrashProtocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using crash::protocol::CustomInfoEntry;
using crash::protocol::DumpType;
using crash::protocol::RegisterRequest;
using Bytes = std::vector<std::uint8_t>;

void PutU16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutU32(Bytes& b, std::uint32_t v) {
  for (int s = 0; s < 32; s += 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}

// A Register record assembled by hand, so size fields can lie.
Bytes RawRegister(std::uint32_t type, std::uint32_t count,
                  const std::vector<std::pair<std::string, std::string>>& entries,
                  std::uint32_t magic = crash::protocol::kMagic, std::uint16_t version = crash::protocol::kVersion) {
  Bytes b;
  PutU32(b, magic);
  PutU16(b, version);
  PutU16(b, 1);
  PutU32(b, type);
  PutU32(b, count);
  for (const auto& [name, value] : entries) {
    PutU16(b, static_cast<std::uint16_t>(name.size()));
    PutU16(b, static_cast<std::uint16_t>(value.size()));
    b.insert(b.end(), name.begin(), name.end());
    b.insert(b.end(), value.begin(), value.end());
  }
  return b;
}

TEST(CrashProtocolTest, RegisterRoundTripKeepsOrderTypeAndText) {
  RegisterRequest request;
  request.dumpType = DumpType::FullMemory;
  request.entries = {{L"appname", L"first"},
                     {L"appname", L"Sauvegarde \u00e9t\u00e9 \u65e5\u672c \U0001F600"},
                     {L"version", L""},
                     {std::wstring(64, L'n'), std::wstring(64, L'\u00e9')}};
  Bytes bytes;
  ASSERT_TRUE(crash::protocol::EncodeRegisterRequest(request, bytes));
  RegisterRequest parsed;
  ASSERT_TRUE(crash::protocol::ParseRegisterRequest(bytes.data(), bytes.size(), parsed));
  EXPECT_EQ(parsed.dumpType, DumpType::FullMemory);
  ASSERT_EQ(parsed.entries.size(), request.entries.size());
  for (std::size_t i = 0; i < request.entries.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(parsed.entries[i].name, request.entries[i].name);
    EXPECT_EQ(parsed.entries[i].value, request.entries[i].value);
  }
}

TEST(CrashProtocolTest, EncodeRefusesWhatBreaksALimit) {
  const struct {
    const char* what;
    std::vector<CustomInfoEntry> entries;
  } cases[] = {
      {"name of 65 characters", {{std::wstring(65, L'a'), L"v"}}},
      {"value of 65 characters", {{L"n", std::wstring(65, L'\u00e9')}}},
      {"line break in a value", {{L"appname", L"x\n    Dump: /etc/passwd"}}},
      {"unpaired surrogate", {{L"appname", std::wstring(1, static_cast<wchar_t>(0xD800))}}},
      {"65 entries", std::vector<CustomInfoEntry>(65, CustomInfoEntry{L"k", L"v"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RegisterRequest request;
    request.entries = c.entries;
    Bytes out{0xAB};
    EXPECT_FALSE(crash::protocol::EncodeRegisterRequest(request, out));
    EXPECT_EQ(out, Bytes{0xAB}) << "output written on failure";
  }
  RegisterRequest most;
  most.entries.assign(64, CustomInfoEntry{std::wstring(64, L'\U0001F600'), std::wstring(64, L'\U0001F600')});
  Bytes bytes;
  ASSERT_TRUE(crash::protocol::EncodeRegisterRequest(most, bytes));
  EXPECT_EQ(bytes.size(), crash::protocol::kMaxMessageBytes);
  RegisterRequest parsed;
  EXPECT_TRUE(crash::protocol::ParseRegisterRequest(bytes.data(), bytes.size(), parsed));
}

TEST(CrashProtocolTest, ParseRegisterRejectsMalformedRecords) {
  const Bytes good = RawRegister(0, 1, {{"appname", "demo"}});
  Bytes trailing = good;
  trailing.push_back(0);
  Bytes oversized = RawRegister(0, 0, {});
  oversized.resize(crash::protocol::kMaxMessageBytes + 1);
  Bytes lyingName = RawRegister(0, 1, {{"appname", "demo"}});
  lyingName[16] = 200;  // name length past the record's end
  Bytes longName = RawRegister(0, 1, {{std::string(300, 'a'), "v"}});
  Bytes wrongKind = good;
  wrongKind[6] = 3;

  const struct {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"empty", {}},
      {"header only", Bytes(good.begin(), good.begin() + 8)},
      {"garbage", Bytes(64, 0xEE)},
      {"wrong magic", RawRegister(0, 0, {}, 0x12345678)},
      {"wrong version", RawRegister(0, 0, {}, crash::protocol::kMagic, 2)},
      {"another kind", wrongKind},
      {"unknown dump type", RawRegister(7, 0, {})},
      {"count larger than the entries", RawRegister(0, 3, {{"appname", "demo"}})},
      {"count smaller than the entries", RawRegister(0, 0, {{"appname", "demo"}})},
      {"count beyond the limit", RawRegister(0, 65, std::vector<std::pair<std::string, std::string>>(65, {"k", "v"}))},
      {"count huge", RawRegister(0, 0xFFFFFFFF, {})},
      {"trailing byte", trailing},
      {"truncated entry", Bytes(good.begin(), good.end() - 2)},
      {"name length lies", lyingName},
      {"name over 256 bytes", longName},
      {"65 characters", RawRegister(0, 1, {{std::string(65, 'a'), "v"}})},
      {"invalid UTF-8", RawRegister(0, 1, {{"appname", "\xC3\x28"}})},
      {"overlong UTF-8", RawRegister(0, 1, {{"appname", "\xC0\xAF"}})},
      {"encoded surrogate", RawRegister(0, 1, {{"appname", "\xED\xA0\x80"}})},
      {"control character", RawRegister(0, 1, {{"appname", "a\nb"}})},
      {"NUL character", RawRegister(0, 1, {{"appname", std::string("a\0b", 3)}})},
      {"over the record limit", oversized},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RegisterRequest out;
    out.entries = {{L"untouched", L"yes"}};
    EXPECT_FALSE(crash::protocol::ParseRegisterRequest(c.bytes.data(), c.bytes.size(), out));
    ASSERT_EQ(out.entries.size(), 1u);
    EXPECT_EQ(out.entries[0].name, L"untouched");
  }
  RegisterRequest parsed;
  EXPECT_TRUE(crash::protocol::ParseRegisterRequest(good.data(), good.size(), parsed));
}

TEST(CrashProtocolTest, DumpRequestTravelsWholeAndRejectsFaults) {
  crash::CrashInfo info;
  info.tid = 4242;
  info.signo = 11;
  info.code = 1;
  info.hasContext = 1;
  info.faultAddress = 0xdeadbeef;
  info.gregs[16] = 0x401000;
  info.fpregs[511] = 7;
  crash::protocol::DumpRequest request;
  crash::protocol::FillDumpRequest(info, request);
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&request);

  crash::CrashInfo parsed;
  ASSERT_TRUE(crash::protocol::ParseDumpRequest(raw, sizeof(request), parsed));
  EXPECT_EQ(std::memcmp(&parsed, &info, sizeof(info)), 0);

  auto with = [&](auto change) {
    crash::protocol::DumpRequest copy = request;
    change(copy);
    return copy;
  };
  const struct {
    const char* what;
    crash::protocol::DumpRequest record;
    std::size_t size;
  } cases[] = {
      {"short", request, sizeof(request) - 1},
      {"header only", request, 8},
      {"tid zero", with([](auto& r) { r.info.tid = 0; }), sizeof(request)},
      {"negative tid", with([](auto& r) { r.info.tid = -5; }), sizeof(request)},
      {"signal out of range", with([](auto& r) { r.info.signo = 99; }), sizeof(request)},
      {"context flag not 0 or 1", with([](auto& r) { r.info.hasContext = 2; }), sizeof(request)},
      {"register kind", with([](auto& r) { r.header.kind = 1; }), sizeof(request)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    crash::CrashInfo out;
    out.tid = 77;
    EXPECT_FALSE(crash::protocol::ParseDumpRequest(reinterpret_cast<const std::uint8_t*>(&c.record), c.size, out));
    EXPECT_EQ(out.tid, 77);
  }
  Bytes longer(raw, raw + sizeof(request));
  longer.push_back(0);
  EXPECT_FALSE(crash::protocol::ParseDumpRequest(longer.data(), longer.size(), parsed));
}

TEST(CrashProtocolTest, AnswersRoundTripAndRejectFaults) {
  crash::protocol::RegisterAnswer registered;
  crash::protocol::FillRegisterAnswer(1234, registered);
  std::int32_t pid = 0;
  ASSERT_TRUE(crash::protocol::ParseRegisterAnswer(reinterpret_cast<const std::uint8_t*>(&registered),
                                                   sizeof(registered), pid));
  EXPECT_EQ(pid, 1234);
  crash::protocol::FillRegisterAnswer(0, registered);
  pid = 9;
  EXPECT_FALSE(crash::protocol::ParseRegisterAnswer(reinterpret_cast<const std::uint8_t*>(&registered),
                                                    sizeof(registered), pid));
  EXPECT_EQ(pid, 9);

  for (auto result : {crash::protocol::DumpResult::Written, crash::protocol::DumpResult::Failed,
                      crash::protocol::DumpResult::Refused}) {
    crash::protocol::DumpAnswer answer;
    crash::protocol::FillDumpAnswer(result, answer);
    crash::protocol::DumpResult parsed;
    ASSERT_TRUE(
        crash::protocol::ParseDumpAnswer(reinterpret_cast<const std::uint8_t*>(&answer), sizeof(answer), parsed));
    EXPECT_EQ(parsed, result);
  }
  crash::protocol::DumpAnswer bad;
  crash::protocol::FillDumpAnswer(crash::protocol::DumpResult::Written, bad);
  bad.result = 3;
  crash::protocol::DumpResult parsed;
  EXPECT_FALSE(crash::protocol::ParseDumpAnswer(reinterpret_cast<const std::uint8_t*>(&bad), sizeof(bad), parsed));
  EXPECT_FALSE(crash::protocol::ParseDumpAnswer(reinterpret_cast<const std::uint8_t*>(&bad), 8, parsed));
}

}  // namespace

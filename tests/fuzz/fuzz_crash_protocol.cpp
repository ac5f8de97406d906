// libFuzzer target: the records of the crash socket. Whatever a client sends,
// the server's parsers must not crash; a record they accept must encode back
// to the very same bytes; a rejected one leaves the output alone. In the other
// direction, a request that the encoder accepts must parse back unchanged.
//
// Input: one selector byte; bit 0 clear: the rest is a record as received;
// set: the rest describes a RegisterRequest to encode.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "crash/CrashProtocol.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

namespace protocol = crash::protocol;

bool SameRequest(const protocol::RegisterRequest& a, const protocol::RegisterRequest& b) {
  if (a.dumpType != b.dumpType || a.entries.size() != b.entries.size()) return false;
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    if (a.entries[i].name != b.entries[i].name || a.entries[i].value != b.entries[i].value) return false;
  }
  return true;
}

protocol::RegisterRequest Sentinel() {
  protocol::RegisterRequest request;
  request.dumpType = protocol::DumpType::FullMemory;
  request.entries.push_back({L"sentinel", L"untouched"});
  return request;
}

bool SameBytes(const void* record, const std::uint8_t* data, std::size_t size) {
  return std::memcmp(record, data, size) == 0;
}

void CheckReceivedRecord(const std::uint8_t* data, std::size_t size) {
  protocol::MessageKind kind = static_cast<protocol::MessageKind>(0xBEEF);
  if (protocol::ParseHeader(data, size, kind)) {
    protocol::MessageHeader header;
    protocol::FillHeader(kind, header);
    FUZZ_CHECK(SameBytes(&header, data, sizeof header));
  } else {
    FUZZ_CHECK(kind == static_cast<protocol::MessageKind>(0xBEEF));
  }

  protocol::RegisterRequest request = Sentinel();
  if (protocol::ParseRegisterRequest(data, size, request)) {
    FUZZ_CHECK(request.entries.size() <= protocol::kMaxEntries);
    std::vector<std::uint8_t> encoded;
    FUZZ_CHECK(protocol::EncodeRegisterRequest(request, encoded));
    FUZZ_CHECK(encoded.size() == size && SameBytes(encoded.data(), data, size));
  } else {
    FUZZ_CHECK(SameRequest(request, Sentinel()));
  }

  crash::CrashInfo info;
  info.tid = -7;
  if (protocol::ParseDumpRequest(data, size, info)) {
    FUZZ_CHECK(info.tid > 0 && info.signo >= 0 && info.signo < 65);
    protocol::DumpRequest record;
    protocol::FillDumpRequest(info, record);
    FUZZ_CHECK(size == sizeof record && SameBytes(&record, data, size));
  } else {
    FUZZ_CHECK(info.tid == -7);
  }

  // The answers' reserved word is not checked on receipt: compare up to it.
  const std::size_t answerBytes = offsetof(protocol::RegisterAnswer, reserved);
  std::int32_t pid = -7;
  if (protocol::ParseRegisterAnswer(data, size, pid)) {
    FUZZ_CHECK(pid > 0);
    protocol::RegisterAnswer record;
    protocol::FillRegisterAnswer(pid, record);
    FUZZ_CHECK(SameBytes(&record, data, answerBytes));
  } else {
    FUZZ_CHECK(pid == -7);
  }

  protocol::DumpResult result = static_cast<protocol::DumpResult>(-7);
  if (protocol::ParseDumpAnswer(data, size, result)) {
    protocol::DumpAnswer record;
    protocol::FillDumpAnswer(result, record);
    FUZZ_CHECK(SameBytes(&record, data, offsetof(protocol::DumpAnswer, reserved)));
  } else {
    FUZZ_CHECK(result == static_cast<protocol::DumpResult>(-7));
  }
}

// Reads the description of a request: a byte for the dump type and one for
// the count (a little past the limit), then per text a length byte and three
// bytes per character, which may be any 24-bit value.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::wstring Text() {
    const std::size_t length = Byte() % (protocol::kMaxEntryChars + 3);
    std::wstring text;
    for (std::size_t i = 0; i < length && pos_ < size_; ++i) {
      const std::uint32_t c = Byte() | (Byte() << 8) | (static_cast<std::uint32_t>(Byte()) << 16);
      text.push_back(static_cast<wchar_t>(c));
    }
    return text;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

void CheckEncodedRequest(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  protocol::RegisterRequest request;
  request.dumpType = (reader.Byte() & 1) != 0 ? protocol::DumpType::FullMemory : protocol::DumpType::Normal;
  const std::size_t count = reader.Byte() % (protocol::kMaxEntries + 3);
  bool valid = count <= protocol::kMaxEntries;
  for (std::size_t i = 0; i < count; ++i) {
    protocol::CustomInfoEntry entry{reader.Text(), reader.Text()};
    valid = valid && protocol::IsValidEntryText(entry.name) && protocol::IsValidEntryText(entry.value);
    request.entries.push_back(std::move(entry));
  }

  std::vector<std::uint8_t> encoded{0xAA};
  if (!protocol::EncodeRegisterRequest(request, encoded)) {
    FUZZ_CHECK(!valid);
    FUZZ_CHECK(encoded.size() == 1 && encoded[0] == 0xAA);
    return;
  }
  FUZZ_CHECK(valid);
  FUZZ_CHECK(encoded.size() <= protocol::kMaxMessageBytes);
  protocol::RegisterRequest parsed;
  FUZZ_CHECK(protocol::ParseRegisterRequest(encoded.data(), encoded.size(), parsed));
  FUZZ_CHECK(SameRequest(parsed, request));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if ((data[0] & 1) == 0) {
    CheckReceivedRecord(data + 1, size - 1);
  } else {
    CheckEncodedRequest(data + 1, size - 1);
  }
  return 0;
}

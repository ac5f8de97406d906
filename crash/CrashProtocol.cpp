#include "crash/CrashProtocol.h"

#include <cstring>

namespace crash {
namespace protocol {
namespace {

// Strict UTF-8 decoding: overlong forms, surrogates and values past U+10FFFF fail.
bool DecodeUtf8(const std::uint8_t* p, std::size_t n, std::wstring& out) {
  std::wstring text;
  std::size_t i = 0;
  while (i < n) {
    std::uint32_t c = p[i];
    std::size_t extra = 0;
    std::uint32_t min = 0;
    if (c < 0x80) {
      extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, c &= 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, c &= 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, c &= 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (n - i - 1 < extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (p[i + k] & 0x3F);
    }
    if (extra != 0 && c < min) return false;
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    text.push_back(static_cast<wchar_t>(c));
    i += extra + 1;
  }
  out.swap(text);
  return true;
}

void AppendUtf8(std::uint32_t c, std::vector<std::uint8_t>& out) {
  if (c < 0x80) {
    out.push_back(static_cast<std::uint8_t>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<std::uint8_t>(0xC0 | (c >> 6)));
    out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<std::uint8_t>(0xE0 | (c >> 12)));
    out.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<std::uint8_t>(0xF0 | (c >> 18)));
    out.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
  }
}

std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void PutU16(std::uint16_t v, std::vector<std::uint8_t>& out) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutU32(std::uint32_t v, std::vector<std::uint8_t>& out) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

bool HeaderIs(const std::uint8_t* data, std::size_t size, MessageKind expected) {
  MessageKind kind;
  return ParseHeader(data, size, kind) && kind == expected;
}

}  // namespace

bool IsValidEntryText(const std::wstring& text) {
  if (text.size() > kMaxEntryChars) return false;
  for (wchar_t ch : text) {
    const auto c = static_cast<std::uint32_t>(ch);
    // Control characters would let a client forge or break log lines.
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return false;
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  }
  return true;
}

bool ParseHeader(const std::uint8_t* data, std::size_t size, MessageKind& kind) {
  if (data == nullptr || size < sizeof(MessageHeader)) return false;
  if (ReadU32(data) != kMagic || ReadU16(data + 4) != kVersion) return false;
  const std::uint16_t raw = ReadU16(data + 6);
  if (raw < static_cast<std::uint16_t>(MessageKind::Register) ||
      raw > static_cast<std::uint16_t>(MessageKind::DumpAnswer)) {
    return false;
  }
  kind = static_cast<MessageKind>(raw);
  return true;
}

bool ParseRegisterRequest(const std::uint8_t* data, std::size_t size, RegisterRequest& out) {
  if (size < kRegisterFixedBytes || size > kMaxMessageBytes) return false;
  if (!HeaderIs(data, size, MessageKind::Register)) return false;
  const std::uint32_t type = ReadU32(data + 8);
  if (type != static_cast<std::uint32_t>(DumpType::Normal) &&
      type != static_cast<std::uint32_t>(DumpType::FullMemory)) {
    return false;
  }
  const std::uint32_t count = ReadU32(data + 12);
  if (count > kMaxEntries) return false;

  RegisterRequest request;
  request.dumpType = static_cast<DumpType>(type);
  std::size_t offset = kRegisterFixedBytes;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (size - offset < 4) return false;
    const std::size_t nameBytes = ReadU16(data + offset);
    const std::size_t valueBytes = ReadU16(data + offset + 2);
    offset += 4;
    if (nameBytes > kMaxEntryBytes || valueBytes > kMaxEntryBytes) return false;
    if (size - offset < nameBytes + valueBytes) return false;
    CustomInfoEntry entry;
    if (!DecodeUtf8(data + offset, nameBytes, entry.name)) return false;
    if (!DecodeUtf8(data + offset + nameBytes, valueBytes, entry.value)) return false;
    if (!IsValidEntryText(entry.name) || !IsValidEntryText(entry.value)) return false;
    offset += nameBytes + valueBytes;
    request.entries.push_back(std::move(entry));
  }
  if (offset != size) return false;  // trailing bytes: the count lied
  out = std::move(request);
  return true;
}

bool ParseDumpRequest(const std::uint8_t* data, std::size_t size, CrashInfo& out) {
  if (size != sizeof(DumpRequest) || !HeaderIs(data, size, MessageKind::DumpRequest)) return false;
  CrashInfo info;
  std::memcpy(&info, data + sizeof(MessageHeader), sizeof(info));
  if (info.tid <= 0 || info.signo < 0 || info.signo >= 65) return false;
  if (info.hasContext != 0 && info.hasContext != 1) return false;
  out = info;
  return true;
}

bool ParseRegisterAnswer(const std::uint8_t* data, std::size_t size, std::int32_t& serverPid) {
  if (size != sizeof(RegisterAnswer) || !HeaderIs(data, size, MessageKind::RegisterAnswer)) return false;
  const auto pid = static_cast<std::int32_t>(ReadU32(data + 8));
  if (pid <= 0) return false;
  serverPid = pid;
  return true;
}

bool ParseDumpAnswer(const std::uint8_t* data, std::size_t size, DumpResult& result) {
  if (size != sizeof(DumpAnswer) || !HeaderIs(data, size, MessageKind::DumpAnswer)) return false;
  const auto raw = static_cast<std::int32_t>(ReadU32(data + 8));
  if (raw < static_cast<std::int32_t>(DumpResult::Written) || raw > static_cast<std::int32_t>(DumpResult::Refused)) {
    return false;
  }
  result = static_cast<DumpResult>(raw);
  return true;
}

bool EncodeRegisterRequest(const RegisterRequest& request, std::vector<std::uint8_t>& out) {
  if (request.entries.size() > kMaxEntries) return false;
  std::vector<std::uint8_t> bytes;
  PutU32(kMagic, bytes);
  PutU16(kVersion, bytes);
  PutU16(static_cast<std::uint16_t>(MessageKind::Register), bytes);
  PutU32(static_cast<std::uint32_t>(request.dumpType), bytes);
  PutU32(static_cast<std::uint32_t>(request.entries.size()), bytes);
  for (const CustomInfoEntry& entry : request.entries) {
    if (!IsValidEntryText(entry.name) || !IsValidEntryText(entry.value)) return false;
    std::vector<std::uint8_t> name;
    std::vector<std::uint8_t> value;
    for (wchar_t c : entry.name) AppendUtf8(static_cast<std::uint32_t>(c), name);
    for (wchar_t c : entry.value) AppendUtf8(static_cast<std::uint32_t>(c), value);
    PutU16(static_cast<std::uint16_t>(name.size()), bytes);
    PutU16(static_cast<std::uint16_t>(value.size()), bytes);
    bytes.insert(bytes.end(), name.begin(), name.end());
    bytes.insert(bytes.end(), value.begin(), value.end());
  }
  out.swap(bytes);
  return true;
}

void FillHeader(MessageKind kind, MessageHeader& header) {
  header.magic = kMagic;
  header.version = kVersion;
  header.kind = static_cast<std::uint16_t>(kind);
}

void FillDumpRequest(const CrashInfo& info, DumpRequest& out) {
  FillHeader(MessageKind::DumpRequest, out.header);
  out.info = info;
}

void FillRegisterAnswer(std::int32_t serverPid, RegisterAnswer& out) {
  FillHeader(MessageKind::RegisterAnswer, out.header);
  out.serverPid = serverPid;
  out.reserved = 0;
}

void FillDumpAnswer(DumpResult result, DumpAnswer& out) {
  FillHeader(MessageKind::DumpAnswer, out.header);
  out.result = static_cast<std::int32_t>(result);
  out.reserved = 0;
}

}  // namespace protocol
}  // namespace crash

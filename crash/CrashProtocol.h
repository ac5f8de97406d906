// The messages between a crash client and the crash server on the crash
// socket. Each message is one SOCK_SEQPACKET record, little-endian, starting
// with a MessageHeader. The parsers are pure functions over a byte buffer: they
// accept exactly one well-formed record and reject everything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "crash/CrashInfo.h"

namespace crash {
namespace protocol {

// Abstract-namespace name of the crash socket (the leading NUL is not part of it).
constexpr char kSocketName[] = "\\\\.\\pipe\\VAVave\\CrashSrv";
constexpr std::size_t kSocketNameLength = sizeof(kSocketName) - 1;

constexpr std::uint32_t kMagic = 0x5243564f;  // "OVCR"
constexpr std::uint16_t kVersion = 1;

// Limits of the custom information a client registers with.
constexpr std::size_t kMaxEntryChars = 64;                  // characters of a name or a value
constexpr std::size_t kMaxEntryBytes = kMaxEntryChars * 4;  // their UTF-8 bytes at most
constexpr std::size_t kMaxEntries = 64;

enum class MessageKind : std::uint16_t {
  Register = 1,
  RegisterAnswer = 2,
  DumpRequest = 3,
  DumpAnswer = 4,
};

enum class DumpType : std::uint32_t {
  Normal = 0,
  FullMemory = 1,  // a second dump with every readable mapping
};

struct MessageHeader {
  std::uint32_t magic;
  std::uint16_t version;
  std::uint16_t kind;
};
static_assert(sizeof(MessageHeader) == 8, "wire layout");

// Register: header, uint32 dump type, uint32 entry count, then per entry
// uint16 name bytes, uint16 value bytes, the name and the value in UTF-8.
constexpr std::size_t kRegisterFixedBytes = sizeof(MessageHeader) + 8;
constexpr std::size_t kMaxMessageBytes = kRegisterFixedBytes + kMaxEntries * (4 + 2 * kMaxEntryBytes);

struct CustomInfoEntry {
  std::wstring name;
  std::wstring value;
};

struct RegisterRequest {
  DumpType dumpType = DumpType::Normal;
  std::vector<CustomInfoEntry> entries;  // in the client's order
};

struct RegisterAnswer {
  MessageHeader header;
  std::int32_t serverPid;  // the process the client lets trace it
  std::uint32_t reserved;
};
static_assert(sizeof(RegisterAnswer) == 16, "wire layout");

struct DumpRequest {
  MessageHeader header;
  CrashInfo info;
};
static_assert(sizeof(DumpRequest) == sizeof(MessageHeader) + sizeof(CrashInfo), "wire layout");

enum class DumpResult : std::int32_t {
  Written = 0,
  Failed = 1,
  Refused = 2,  // the thread is not one of the requesting process
};

struct DumpAnswer {
  MessageHeader header;
  std::int32_t result;  // a DumpResult
  std::uint32_t reserved;
};
static_assert(sizeof(DumpAnswer) == 16, "wire layout");

// A name or value fit for the wire: at most kMaxEntryChars characters, none of
// them a control character or an unpaired surrogate.
bool IsValidEntryText(const std::wstring& text);

// The kind of the record in `data`; false when its header is not ours (magic,
// version) or the record is shorter than a header. `kind` is written only on success.
bool ParseHeader(const std::uint8_t* data, std::size_t size, MessageKind& kind);

// Decodes a Register record. false on any fault: wrong header, unknown dump type,
// more than kMaxEntries entries, a size field that disagrees with the record's
// length, text that is not valid UTF-8 or fails IsValidEntryText. `out` is
// written only on success.
bool ParseRegisterRequest(const std::uint8_t* data, std::size_t size, RegisterRequest& out);

// Decodes a DumpRequest record of exactly sizeof(DumpRequest) bytes. `out` is
// written only on success.
bool ParseDumpRequest(const std::uint8_t* data, std::size_t size, CrashInfo& out);
bool ParseRegisterAnswer(const std::uint8_t* data, std::size_t size, std::int32_t& serverPid);
bool ParseDumpAnswer(const std::uint8_t* data, std::size_t size, DumpResult& result);

// Encodes a Register record; false (and `out` untouched) when the request breaks a limit.
bool EncodeRegisterRequest(const RegisterRequest& request, std::vector<std::uint8_t>& out);

// Fixed-size records: no allocation, async-signal-safe.
void FillHeader(MessageKind kind, MessageHeader& header);
void FillDumpRequest(const CrashInfo& info, DumpRequest& out);
void FillRegisterAnswer(std::int32_t serverPid, RegisterAnswer& out);
void FillDumpAnswer(DumpResult result, DumpAnswer& out);

}  // namespace protocol
}  // namespace crash

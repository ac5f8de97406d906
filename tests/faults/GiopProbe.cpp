#include "tests/faults/GiopProbe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace faulttest {
namespace {

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Reads CDR from an encapsulation or message; every read checks the bounds.
class CdrReader {
 public:
  // `base` is where alignment counts from; `littleEndian` the data's byte order.
  CdrReader(const std::string& data, std::size_t start, std::size_t base, bool littleEndian)
      : data_(data), pos_(start), base_(base), little_(littleEndian) {}

  bool Align(std::size_t n) {
    std::size_t offset = (pos_ - base_) % n;
    if (offset != 0) pos_ += n - offset;
    return pos_ <= data_.size();
  }
  bool Octet(std::uint8_t& v) {
    if (pos_ + 1 > data_.size()) return false;
    v = static_cast<std::uint8_t>(data_[pos_++]);
    return true;
  }
  bool UShort(std::uint16_t& v) {
    std::uint32_t wide = 0;
    if (!Number(2, wide)) return false;
    v = static_cast<std::uint16_t>(wide);
    return true;
  }
  bool ULong(std::uint32_t& v) { return Number(4, v); }
  bool Octets(std::string& v) {
    std::uint32_t size = 0;
    if (!ULong(size) || size > data_.size() - pos_) return false;
    v = data_.substr(pos_, size);
    pos_ += size;
    return true;
  }
  // A CDR string without its terminating null.
  bool String(std::string& v) {
    if (!Octets(v) || v.empty() || v.back() != '\0') return false;
    v.pop_back();
    return true;
  }

 private:
  bool Number(std::size_t size, std::uint32_t& v) {
    if (!Align(size) || pos_ + size > data_.size()) return false;
    v = 0;
    for (std::size_t i = 0; i < size; ++i) {
      std::uint32_t byte = static_cast<std::uint8_t>(data_[pos_ + i]);
      v |= little_ ? byte << (8 * i) : byte << (8 * (size - 1 - i));
    }
    pos_ += size;
    return true;
  }

  const std::string& data_;
  std::size_t pos_;
  std::size_t base_;
  bool little_;
};

// Little-endian CDR writer over a whole message, aligned from its first byte.
class CdrWriter {
 public:
  explicit CdrWriter(std::string& out) : out_(out) {}
  void Align(std::size_t n) {
    while (out_.size() % n != 0) out_.push_back('\0');
  }
  void Octet(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void UShort(std::uint16_t v) {
    Align(2);
    Octet(v & 0xff);
    Octet(v >> 8);
  }
  void ULong(std::uint32_t v) {
    Align(4);
    for (int i = 0; i < 4; ++i) Octet((v >> (8 * i)) & 0xff);
  }
  void Octets(const std::string& v) {
    ULong(static_cast<std::uint32_t>(v.size()));
    out_ += v;
  }
  void String(const std::string& v) { Octets(v + '\0'); }

 private:
  std::string& out_;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool DecodeIor(const std::string& ior, IiopAddress& out) {
  if (ior.compare(0, 4, "IOR:") != 0 || ior.size() % 2 != 0) return false;
  std::string bytes;
  for (std::size_t i = 4; i + 1 < ior.size(); i += 2) {
    int high = HexValue(ior[i]);
    int low = HexValue(ior[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  if (bytes.empty()) return false;
  CdrReader ref(bytes, 1, 0, bytes[0] == 1);
  std::string typeId;
  std::uint32_t profiles = 0;
  if (!ref.String(typeId) || !ref.ULong(profiles)) return false;
  for (std::uint32_t i = 0; i < profiles; ++i) {
    std::uint32_t tag = 0;
    std::string data;
    if (!ref.ULong(tag) || !ref.Octets(data)) return false;
    if (tag != 0 || data.empty()) continue;  // TAG_INTERNET_IOP only
    CdrReader profile(data, 1, 0, data[0] == 1);
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    IiopAddress address;
    std::uint16_t port = 0;
    if (!profile.Octet(major) || !profile.Octet(minor) || !profile.String(address.host) || !profile.UShort(port) ||
        !profile.Octets(address.objectKey)) {
      return false;
    }
    address.port = port;
    out = address;
    return true;
  }
  return false;
}

std::string CdrULong(std::uint32_t value) {
  std::string out;
  CdrWriter(out).ULong(value);
  return out;
}

std::string GiopMessage(std::uint8_t type, const std::string& body) {
  std::string message = "GIOP";
  message += '\x01';  // version 1.2
  message += '\x02';
  message += '\x01';  // little endian, no fragments
  message += static_cast<char>(type);
  message += CdrULong(static_cast<std::uint32_t>(body.size()));
  return message + body;
}

std::string GiopRequest(std::uint32_t requestId, const std::string& objectKey, const std::string& operation,
                        const std::string& arguments) {
  // Written with a placeholder header so alignment counts from the message's start.
  std::string message(12, '\0');
  CdrWriter out(message);
  out.ULong(requestId);
  out.Octet(3);  // response expected
  out.Octet(0);
  out.Octet(0);
  out.Octet(0);
  out.UShort(0);  // KeyAddr
  out.Octets(objectKey);
  out.String(operation);
  // The code sets, as a real client sends them first: UTF-8 and UTF-16, so
  // wide strings are read as such.
  out.ULong(1);
  out.ULong(1);  // CodeSets
  std::string codeSets = "\x01";
  CdrWriter sets(codeSets);
  sets.ULong(0x05010001);
  sets.ULong(0x00010109);
  out.Octets(codeSets);
  if (!arguments.empty()) {
    out.Align(8);
    message += arguments;
  }
  return GiopMessage(kGiopRequest, message.substr(12));
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawConnection::Connect(int port) {
  if (fd_ >= 0) return false;
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool RawConnection::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void RawConnection::ShutdownSending() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

bool RawConnection::ReadExactly(char* buffer, std::size_t size, long long deadlineMs) {
  std::size_t done = 0;
  while (done < size) {
    long long left = deadlineMs - NowMs();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int rc = ::poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    ssize_t n = ::recv(fd_, buffer + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool RawConnection::ReadMessage(GiopReply& reply, int timeoutMs) {
  const long long deadline = NowMs() + timeoutMs;
  std::string message(12, '\0');
  if (!ReadExactly(&message[0], 12, deadline) || message.compare(0, 4, "GIOP") != 0) return false;
  const bool little = (message[6] & 1) != 0;
  std::uint32_t size = 0;
  CdrReader header(message, 8, 0, little);
  if (!header.ULong(size) || size > (1u << 20)) return false;
  message.resize(12 + size);
  if (size > 0 && !ReadExactly(&message[12], size, deadline)) return false;
  GiopReply result;
  result.type = static_cast<std::uint8_t>(message[7]);
  if (result.type == kGiopReply && message[4] == 1 && message[5] == 2) {
    CdrReader body(message, 12, 0, little);
    std::uint32_t contexts = 0;
    if (body.ULong(result.requestId) && body.ULong(result.replyStatus) && body.ULong(contexts)) {
      bool ok = true;
      for (std::uint32_t i = 0; ok && i < contexts; ++i) {
        std::uint32_t id = 0;
        std::string data;
        ok = body.ULong(id) && body.Octets(data);
      }
      if (ok && result.replyStatus == 2 && body.Align(8)) {
        std::uint32_t minor = 0;
        body.String(result.exceptionId) && body.ULong(minor) && body.ULong(result.completed);
      }
    }
  }
  reply = result;
  return true;
}

bool RawConnection::WaitForClose(int timeoutMs, std::string& received) {
  const long long deadline = NowMs() + timeoutMs;
  for (;;) {
    long long left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int rc = ::poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    received.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace faulttest

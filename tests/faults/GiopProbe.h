// A raw IIOP peer for fault tests: reads the address and object key out of a
// stringified reference, builds GIOP 1.2 messages byte by byte (right or
// deliberately wrong) and talks to a server over a plain TCP connection, so a
// test can send what no ORB would.
#pragma once

#include <cstdint>
#include <string>

namespace faulttest {

// The IIOP profile of a reference.
struct IiopAddress {
  std::string host;
  int port = 0;
  std::string objectKey;
};

// Decodes "IOR:<hex>" and takes its first IIOP profile. false (and `out`
// untouched) when the text is not a reference or has no IIOP profile.
bool DecodeIor(const std::string& ior, IiopAddress& out);

// GIOP message types used here.
enum GiopMessageType : std::uint8_t {
  kGiopRequest = 0,
  kGiopReply = 1,
  kGiopCloseConnection = 5,
  kGiopMessageError = 6,
};

// A GIOP 1.2 little-endian message: the 12-byte header with the body's size.
std::string GiopMessage(std::uint8_t type, const std::string& body);

// A GIOP 1.2 Request (response expected, request id `requestId`, code sets
// UTF-8 and UTF-16) for `operation` on `objectKey`, with `arguments` already marshalled as CDR
// little-endian from an 8-aligned start.
std::string GiopRequest(std::uint32_t requestId, const std::string& objectKey, const std::string& operation,
                        const std::string& arguments);

// A little-endian CDR unsigned long.
std::string CdrULong(std::uint32_t value);

// What a server sent back, as far as these tests read it.
struct GiopReply {
  std::uint8_t type = 0xff;
  std::uint32_t requestId = 0;
  std::uint32_t replyStatus = 0xffffffff;  // 2: system exception
  std::string exceptionId;                 // the system exception's repository id
  std::uint32_t completed = 0xffffffff;    // 0 yes, 1 no, 2 maybe
};

// One TCP connection to 127.0.0.1; closed by the destructor.
class RawConnection {
 public:
  RawConnection() = default;
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // false when the connection could not be made.
  bool Connect(int port);
  // Sends all of `bytes`; false when the peer refused them.
  bool Send(const std::string& bytes);
  // Ends the sending direction: the peer reads end of file.
  void ShutdownSending();
  // Reads one whole GIOP message, waiting at most timeoutMs in all. false when
  // none came in time, the connection ended first or it was not GIOP.
  bool ReadMessage(GiopReply& reply, int timeoutMs);
  // Waits at most timeoutMs for the peer to close, discarding what it sends;
  // true once the connection has ended (end of file or reset). `received`
  // gets every byte the peer sent meanwhile.
  bool WaitForClose(int timeoutMs, std::string& received);

 private:
  // Reads exactly `size` bytes before the deadline; false on end, error or timeout.
  bool ReadExactly(char* buffer, std::size_t size, long long deadlineMs);

  int fd_ = -1;
};

}  // namespace faulttest

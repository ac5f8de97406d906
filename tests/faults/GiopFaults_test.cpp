// Malformed and hostile GIOP traffic on the running service's own port: the
// service answers what it can, drops what it cannot, and a real call from the
// Coordinator's side is served after each.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "tests/faults/GiopProbe.h"
#include "tests/host/ServiceFixture.h"

namespace faulttest {
namespace {

constexpr int kWaitMs = 30000;  // bound of every wait for the service's answer

const char* const kObjectNotExist = "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0";
const char* const kBadOperation = "IDL:omg.org/CORBA/BAD_OPERATION:1.0";
const char* const kMarshal = "IDL:omg.org/CORBA/MARSHAL:1.0";

class GiopFaultsTest : public hosttest::ServiceTest {
 protected:
  // omniNames, then ovupdate -n with `extra` in its environment; the
  // launcher's address and key come from the reference it bound.
  void StartAll(const std::vector<std::string>& extra = {}) {
    ASSERT_TRUE(ns_.Start()) << ns_.Error();
    WriteSettings(ns_.Port());
    ASSERT_TRUE(StartService(service_, {"-n"}, extra)) << service_.Error();
    ASSERT_TRUE(WaitForBinding(ns_, true)) << service_.Output();
    const std::string ior = ns_.Resolve("OrvantaRuraduZezarev.context/" + hosttest::HostName() + ".launcher");
    ASSERT_TRUE(DecodeIor(ior, launcher_)) << ior;
    ASSERT_EQ(launcher_.host, "127.0.0.1");
  }

  void TearDown() override {
    if (service_.Running()) {
      service_.Signal(SIGINT);
      EXPECT_TRUE(service_.WaitForExit(kWaitMs)) << service_.Output();
      EXPECT_EQ(service_.ExitCode(), 0) << service_.Output();
    }
    service_.Terminate(0, SIGKILL);
    ServiceTest::TearDown();
  }

  // A real StartService through launcherctl runs the family program once more.
  void ExpectRealCallServed() {
    const std::string name = "Svc " + std::to_string(++calls_);
    std::string output;
    EXPECT_EQ(Launcherctl(ns_.Port(), {"start", hosttest::HostName(), "server", name, FAMILY_STANDIN_PATH}, output), 0)
        << output << service_.Output();
    std::vector<std::string> runs = hosttest::ReadLines(familyRecord_);
    ASSERT_EQ(runs.size(), static_cast<size_t>(calls_));
    EXPECT_EQ(runs.back(), "-s|" + name);
  }

  std::string Request(const std::string& operation, const std::string& arguments, const std::string& key) const {
    return GiopRequest(7, key, operation, arguments);
  }

  testsupport::NamingService ns_;
  testsupport::ChildProcess service_;
  IiopAddress launcher_;
  int calls_ = 0;
};

// What was sent, whether the client then ends its side, and what the server
// must do: answer with a system exception (completed NO), or close.
struct WireCase {
  const char* label;
  std::string bytes;
  bool endSending;
  const char* exceptionId;  // null: no answer, the server closes the connection
};

TEST_F(GiopFaultsTest, MalformedMessagesAreRefusedAndRealCallsStillServed) {
  ASSERT_NO_FATAL_FAILURE(StartAll());
  const std::string& key = launcher_.objectKey;
  const std::string startRequest = Request("StartService", CdrULong(0), key);
  const std::string hugeHeader = std::string("GIOP\x01\x02\x01\x00", 8) + CdrULong(0xfffffff0u);
  const WireCase cases[] = {
      {"garbage bytes", std::string(4, 'x') + "this is not GIOP\r\n\0\xff\xfe", false, nullptr},
      {"truncated header, then closed", "GIOP\x01\x02", true, nullptr},
      {"huge message size, then closed", hugeHeader, true, nullptr},
      {"valid header, truncated body, then closed", startRequest.substr(0, 30), true, nullptr},
      {"unknown GIOP version", std::string("GIOP\x09\x09\x01\x00", 8) + CdrULong(0), false, nullptr},
      {"a Reply sent to the server", GiopMessage(kGiopReply, CdrULong(7) + CdrULong(0) + CdrULong(0)), false, nullptr},
      {"bogus object key", Request("StartService", CdrULong(0), "no such object"), false, kObjectNotExist},
      {"unknown operation", Request("FormatAllDisks", "", key), false, kBadOperation},
      {"kind 2", Request("StartService", CdrULong(2) + CdrULong(1) + CdrULong(0), key), false, kMarshal},
      {"wide string longer than the message", Request("StartService", CdrULong(0) + CdrULong(0x7ffffff0u), key), false,
       kMarshal},
  };
  for (const WireCase& c : cases) {
    SCOPED_TRACE(c.label);
    {
      RawConnection connection;
      ASSERT_TRUE(connection.Connect(launcher_.port));
      ASSERT_TRUE(connection.Send(c.bytes));
      if (c.endSending) connection.ShutdownSending();
      if (c.exceptionId != nullptr) {
        GiopReply reply;
        ASSERT_TRUE(connection.ReadMessage(reply, kWaitMs)) << service_.Output();
        EXPECT_EQ(reply.type, kGiopReply);
        EXPECT_EQ(reply.requestId, 7u);
        EXPECT_EQ(reply.replyStatus, 2u);
        EXPECT_EQ(reply.exceptionId, c.exceptionId);
        EXPECT_EQ(reply.completed, 1u) << "completed NO";
      } else {
        std::string received;
        ASSERT_TRUE(connection.WaitForClose(kWaitMs, received)) << "the server kept the connection";
        // At most a MessageError or CloseConnection on the way out.
        if (!received.empty()) {
          ASSERT_GE(received.size(), 8u);
          EXPECT_EQ(received.substr(0, 4), "GIOP");
          EXPECT_TRUE(received[7] == kGiopMessageError || received[7] == kGiopCloseConnection) << int(received[7]);
        }
      }
    }
    ExpectRealCallServed();
  }
}

// The service runs one request at a time on one ORB thread, and omniORB
// reads a whole message before it looks at the deadline of a call: a peer
// that sends half a message and waits holds that thread until the idle
// connection scan closes the connection (-ORBinConScanPeriod, 180 s by
// default). Shortened here so the real call's wait stays short.
TEST_F(GiopFaultsTest, HalfSentMessageHeldOpenIsClosedByTheIdleScanAndTheRealCallServed) {
  ASSERT_NO_FATAL_FAILURE(StartAll({"ORBinConScanPeriod=2", "ORBscanGranularity=1"}));
  const std::string request = Request("StartService", CdrULong(0), launcher_.objectKey);
  // A size far beyond the ORB's message limit is not refused from the header
  // alone: the ORB waits for the body like for any other.
  const struct {
    const char* label;
    std::string bytes;
  } halves[] = {
      {"part of the header", request.substr(0, 6)},
      {"half of a request", request.substr(0, request.size() / 2)},
      {"a header announcing 4 GB", std::string("GIOP\x01\x02\x01\x00", 8) + CdrULong(0xfffffff0u)},
  };
  for (const auto& half : halves) {
    SCOPED_TRACE(half.label);
    RawConnection held;
    ASSERT_TRUE(held.Connect(launcher_.port));
    ASSERT_TRUE(held.Send(half.bytes));
    ExpectRealCallServed();
    std::string received;
    ASSERT_TRUE(held.WaitForClose(kWaitMs, received)) << "the half message was never given up";
    ASSERT_GE(received.size(), 8u);
    EXPECT_EQ(received.substr(0, 4), "GIOP");
    EXPECT_EQ(received[7], kGiopCloseConnection);
  }
}

}  // namespace
}  // namespace faulttest

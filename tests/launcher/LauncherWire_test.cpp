// The Launcher contract through a real ORB: the servant runs in another
// process (omniORB would short-circuit a call inside this one) and is reached
// over loopback TCP.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <omniORB4/CORBA.h>
#include <omniORB4/minorCode.h>

#include <string>
#include <vector>

#include "idl/Launcher.hh"
#include "platform/Process.h"
#include "tests/launcher/LauncherFixture.h"

namespace {

using testing_support::Argv;

constexpr int kBoundMs = 30000;  // only a broken server takes this long

class LauncherWireTest : public testing_support::LauncherFixture {
 protected:
  void SetUp() override {
    LauncherFixture::SetUp();
    if (HasFatalFailure()) return;
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    // The server inherits the fixture's environment: its store and record file.
    const int err = platform::ChildProcess::Spawn({LAUNCHER_WIRE_SERVER_PATH}, server_, fds[1]);
    close(fds[1]);
    const std::string ior = ReadLine(fds[0]);
    close(fds[0]);
    ASSERT_EQ(err, 0);
    ASSERT_EQ(ior.rfind("IOR:", 0), 0u) << "server said: " << ior;

    int argc = 0;
    const char* options[][2] = {{"clientCallTimeOutPeriod", "120000"}, {"diiThrowsSysExceptions", "1"},
                                {nullptr, nullptr}};
    orb_ = CORBA::ORB_init(argc, nullptr, "omniORB4", options);
    object_ = orb_->string_to_object(ior.c_str());
    launcher_ = RuraduZezarev::Launcher::_narrow(object_);
    ASSERT_FALSE(CORBA::is_nil(launcher_));
  }

  void TearDown() override {
    launcher_ = RuraduZezarev::Launcher::_nil();
    object_ = CORBA::Object::_nil();
    if (!CORBA::is_nil(orb_)) orb_->destroy();
    orb_ = CORBA::ORB::_nil();
    int status = 0;
    if (server_.Signal(SIGTERM)) server_.WaitFor(kBoundMs, status);  // else the holder kills it
    LauncherFixture::TearDown();
  }

  // One line from the server's output, read with a bound.
  static std::string ReadLine(int fd) {
    std::string line;
    pollfd p{fd, POLLIN, 0};
    char c;
    while (poll(&p, 1, kBoundMs) > 0 && read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  Argv Line(std::vector<std::string> rest) const {
    rest.insert(rest.begin(), program_);
    return rest;
  }

  // A request built by hand, so the server answers it (never this process's stubs).
  CORBA::Request_ptr Request(const char* operation) { return object_->_request(operation); }

  platform::ChildProcess server_;
  CORBA::ORB_var orb_;
  CORBA::Object_var object_;
  RuraduZezarev::Launcher_var launcher_;
};

TEST_F(LauncherWireTest, FourOperationsRunTheirCommandLines) {
  const wchar_t* service = L"Dienst \u00DC\u00DF \u673A\u5668";
  const std::string serviceUtf8 = "Dienst \xC3\x9C\xC3\x9F \xE6\x9C\xBA\xE5\x99\xA8";
  const wchar_t* password = L"p\u00E4ss \"w\u00F6rd\"";
  EXPECT_TRUE(launcher_->CreateService(RuraduZezarev::SERVER_SERVICE, service, L"nobody", password, exe_.c_str()));
  EXPECT_TRUE(launcher_->RemoveService(RuraduZezarev::WORKSTATION_SERVICE, service, exe_.c_str()));
  EXPECT_TRUE(launcher_->StartService(RuraduZezarev::WORKSTATION_SERVICE, service, exe_.c_str()));
  EXPECT_TRUE(launcher_->StopService(RuraduZezarev::SERVER_SERVICE, service, exe_.c_str()));
  // The quotation marks inside the password split it as the home system would.
  EXPECT_EQ(Runs(), (std::vector<Argv>{
                        Line({"-i", serviceUtf8, "nobody", "p\xC3\xA4ss w\xC3\xB6rd"}),
                        Line({"-s", serviceUtf8}),
                        Line({"-k", serviceUtf8}),
                        Line({"-r", serviceUtf8}),
                        Line({"-s", serviceUtf8}),
                        Line({"-k", serviceUtf8}),
                    }));
  EXPECT_EQ(Store(), "S-1-22-1-65534 SeServiceLogonRight\n");
}

TEST_F(LauncherWireTest, FailuresTravelAsFalse) {
  const std::wstring missing = exe_ + L"-gone";
  EXPECT_FALSE(launcher_->StartService(RuraduZezarev::SERVER_SERVICE, L"s", missing.c_str()));
  EXPECT_FALSE(launcher_->StopService(RuraduZezarev::SERVER_SERVICE, L"", exe_.c_str()));
  EXPECT_FALSE(launcher_->CreateService(RuraduZezarev::SERVER_SERVICE, L"s", L"ovupdate-no-such-account", L"p",
                                        exe_.c_str()));
  EXPECT_FALSE(launcher_->CreateService(RuraduZezarev::WORKSTATION_SERVICE, L"s", L"nobody", L"", exe_.c_str()));
  EXPECT_TRUE(Runs().empty());
}

TEST_F(LauncherWireTest, IsAAnswersForTheLauncherAndObjectIdsOnly) {
  struct Case {
    const char* id;
    bool expected;
  } cases[] = {
      {"IDL:RuraduZezarev/Launcher:1.0", true},
      {"IDL:omg.org/CORBA/Object:1.0", true},
      {"IDL:RuraduZezarev/KLServices:1.0", false},
      {"IDL:ruraduzezarev/launcher:1.0", false},
      {"IDL:RuraduZezarev/Launcher:1.1", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    CORBA::Request_var request = Request("_is_a");
    request->add_in_arg() <<= c.id;
    request->set_return_type(CORBA::_tc_boolean);
    request->invoke();
    CORBA::Boolean answer = !c.expected;
    ASSERT_TRUE(request->return_value() >>= CORBA::Any::to_boolean(answer));
    EXPECT_EQ(static_cast<bool>(answer), c.expected);
  }
}

// The ORB checks the enumeration on receipt: a kind of 2 never reaches the
// servant and is answered with MARSHAL (the servant's own check is covered
// by a direct call elsewhere).
TEST_F(LauncherWireTest, OutOfRangeKindIsRejectedByTheOrb) {
  auto startRequest = [this](CORBA::ULong kind) {
    CORBA::Request_var request = Request("StartService");
    request->add_in_arg() <<= kind;
    request->add_in_arg() <<= CORBA::Any::from_wstring(L"svc", 0);
    request->add_in_arg() <<= CORBA::Any::from_wstring(exe_.c_str(), 0);
    request->set_return_type(CORBA::_tc_boolean);
    return request._retn();
  };

  // The same request with a valid kind goes through: the request is well made.
  CORBA::Request_var good = startRequest(1);
  good->invoke();
  CORBA::Boolean answer = false;
  ASSERT_TRUE(good->return_value() >>= CORBA::Any::to_boolean(answer));
  EXPECT_TRUE(answer);
  ASSERT_EQ(Runs().size(), 1u);

  for (CORBA::ULong kind : {2u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(kind);
    CORBA::Request_var bad = startRequest(kind);
    try {
      bad->invoke();
      ADD_FAILURE() << "no exception";
    } catch (const CORBA::MARSHAL& e) {
      EXPECT_EQ(e.minor(), omni::MARSHAL_InvalidEnumValue);
      EXPECT_EQ(e.completed(), CORBA::COMPLETED_NO);
    }
  }
  EXPECT_EQ(Runs().size(), 1u);
  // The server goes on answering.
  EXPECT_TRUE(launcher_->StopService(RuraduZezarev::SERVER_SERVICE, L"svc", exe_.c_str()));
  EXPECT_EQ(Runs().size(), 2u);
}

}  // namespace

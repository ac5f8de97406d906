#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "corba/CCorbaWrapper.h"
#include "tests/corba/RecordingWrapper.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NamingService.h"

namespace {

using corbatest::CerrCapture;
using corbatest::RecordingWrapper;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const bool kLoopbackOnly = (::setenv("ORBendPoint", "giop:tcp:127.0.0.1:", 1), true);

constexpr char kContext[] = "OrvantaRuraduZezarev.context";
constexpr char kRootTransient[] =
    "An error occurred while obtain a reference to the root context. Coordinator could not be reached. "
    "Make shure Coordinator is running";
constexpr char kUnbindUnknown[] = "Unknown error occurred while unbinding object";

// Wrapper connected to a running omniNames, with a tie ready to publish.
class NamingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kLoopbackOnly);
    ASSERT_TRUE(ns.Start()) << ns.Error();
    ASSERT_EQ(wrapper.Connect(L"127.0.0.1", ns.PortW()), 0);
    ASSERT_TRUE(wrapper.reports.empty());
  }
  void TearDown() override {
    wrapper.Shutdown();
  }

  int Publish(const std::string& name) { return wrapper.PublishObject(tie, name, new Launcher_impl, reference); }

  // A naming context reference to bind where a stale or foreign object was.
  std::string SomeReference() {
    std::string output;
    EXPECT_EQ(ns.Nameclt({"-advanced", "new_context"}, output), 0) << output;
    return output.substr(0, output.find_first_of("\r\n"));
  }

  // Stops omniNames and lets the ORB find its connection closed: the one call
  // on the dead connection fails with COMM_FAILURE; later ones meet a port
  // where nothing listens and fail with TRANSIENT.
  void StopNamingService() {
    ns.Stop();
    CosNaming::NamingContext_var root;
    EXPECT_EQ(wrapper.ResolveRootContext(root), 1);
    ASSERT_EQ(wrapper.reports.size(), 1u);
    EXPECT_EQ(wrapper.reports[0].message, "Unknown error occurred while obtain a reference to the root context");
    EXPECT_EQ(wrapper.reports[0].name, std::optional<std::string>("COMM_FAILURE"));
    wrapper.reports.clear();
  }

  void Nameclt(const std::vector<std::string>& args) {
    std::string output;
    ASSERT_EQ(ns.Nameclt(args, output), 0) << output;
  }

  testsupport::NamingService ns;
  RecordingWrapper wrapper;
  LauncherTie tie{static_cast<Launcher_impl*>(nullptr), true};
  RuraduZezarev::Launcher_var reference;
};

TEST_F(NamingTest, FirstRegistrationCreatesTheContextAndBindsTheLauncher) {
  CerrCapture cerr;
  EXPECT_EQ(Publish("PC1"), 0);
  EXPECT_FALSE(CORBA::is_nil(reference));
  EXPECT_NE(tie._tied_object(), nullptr);
  EXPECT_TRUE(wrapper.reports.empty());
  EXPECT_EQ(cerr.Text(), "");
  EXPECT_THAT(ns.List(), ElementsAre("OrvantaRuraduZezarev.context/"));
  EXPECT_THAT(ns.List(kContext), ElementsAre("PC1.launcher"));
}

TEST_F(NamingTest, StaleBindingOfTheSameNameIsReplaced) {
  Nameclt({"bind_new_context", kContext});
  std::string stale = SomeReference();
  Nameclt({"bind", std::string(kContext) + "/PC1.launcher", stale});

  EXPECT_EQ(Publish("PC1"), 0);
  EXPECT_TRUE(wrapper.reports.empty());
  EXPECT_THAT(ns.List(kContext), ElementsAre("PC1.launcher"));
  std::string bound = ns.Resolve(std::string(kContext) + "/PC1.launcher");
  EXPECT_FALSE(bound.empty());
  EXPECT_NE(bound, stale);
}

TEST_F(NamingTest, SecondComputerIsBoundBesideTheFirst) {
  Nameclt({"bind_new_context", kContext});
  Nameclt({"bind", std::string(kContext) + "/PC1.launcher", SomeReference()});

  EXPECT_EQ(Publish("PC2"), 0);
  EXPECT_TRUE(wrapper.reports.empty());
  EXPECT_THAT(ns.List(), ElementsAre("OrvantaRuraduZezarev.context/"));
  EXPECT_THAT(ns.List(kContext), ElementsAre("PC1.launcher", "PC2.launcher"));
}

TEST_F(NamingTest, NetworkContextThatIsNoContextFailsToNarrow) {
  // Something else bound under the context's name: an object of another type.
  CORBA::Object_var poaObject = wrapper.orb->resolve_initial_references("RootPOA");
  ASSERT_EQ(Publish("PC1"), 0);
  CORBA::String_var ior = wrapper.orb->object_to_string(reference.in());
  Nameclt({"unbind", std::string(kContext) + "/PC1.launcher"});
  Nameclt({"remove_context", kContext});
  Nameclt({"bind", kContext, ior.in()});
  wrapper.reports.clear();

  CosNaming::NamingContext_var context;
  EXPECT_EQ(wrapper.GetNetworkContext(context), 1);
  EXPECT_TRUE(CORBA::is_nil(context)) << "left as it was on failure";
  ASSERT_EQ(wrapper.reports.size(), 1u);
  EXPECT_EQ(wrapper.reports[0].message, "Failed to narrow naming context");
  EXPECT_EQ(wrapper.reports[0].name, std::nullopt);
  EXPECT_EQ(wrapper.reports[0].info, std::nullopt);
}

TEST_F(NamingTest, SystemExceptionOtherThanTransientEndsTheRegistrationAtOnce) {
  ns.Stop();  // the ORB's connection is now dead: the first call meets COMM_FAILURE
  CerrCapture cerr;
  EXPECT_EQ(Publish("PC1"), 1);
  EXPECT_FALSE(CORBA::is_nil(reference));
  EXPECT_EQ(cerr.Text(), "") << "no retry";
  EXPECT_THAT(wrapper.Messages(), ElementsAre("Unknown error occurred while obtain a reference to the root context"));
}

TEST_F(NamingTest, NamingServiceDownDuringTheWholeRegistration) {
  StopNamingService();
  CerrCapture cerr;
  EXPECT_EQ(Publish("PC1"), 1);
  EXPECT_FALSE(CORBA::is_nil(reference)) << "the object is active although not bound";
  EXPECT_THAT(cerr.Lines(), ElementsAre("Retry to register PC1.launcher", "Retry to register PC1.launcher",
                                        "Retry to register PC1.launcher", "Retry to register PC1.launcher",
                                        "Retry to register PC1.launcher"));
  // Each attempt fails at its first step, the root context.
  EXPECT_THAT(wrapper.Messages(), ElementsAre(kRootTransient, kRootTransient, kRootTransient, kRootTransient,
                                              kRootTransient, kRootTransient));
  for (const corbatest::Report& report : wrapper.reports)
    EXPECT_EQ(report.name, std::optional<std::string>("TRANSIENT"));
}

TEST_F(NamingTest, NamingServiceBackDuringTheRetries) {
  StopNamingService();
  // The naming service comes back once the second attempt has failed.
  wrapper.onReport = [this](const corbatest::Report&) {
    if (wrapper.reports.size() == 2) {
      EXPECT_TRUE(ns.Start()) << ns.Error();
    }
  };
  CerrCapture cerr;
  EXPECT_EQ(Publish("PC1"), 0);
  EXPECT_THAT(cerr.Lines(), ElementsAre("Retry to register PC1.launcher", "Retry to register PC1.launcher"));
  EXPECT_EQ(wrapper.reports.size(), 2u);
  EXPECT_THAT(ns.List(kContext), ElementsAre("PC1.launcher"));
}

TEST_F(NamingTest, UnpublishRemovesTheBindingAndDeactivates) {
  ASSERT_EQ(Publish("PC1"), 0);
  wrapper.UnpublishObject(tie, "PC1");
  EXPECT_TRUE(wrapper.reports.empty());
  EXPECT_THAT(ns.List(kContext), IsEmpty());
  EXPECT_TRUE(reference->_non_existent());
}

TEST_F(NamingTest, UnpublishWhenNothingIsBound) {
  struct Case {
    const char* what;
    std::vector<std::vector<std::string>> removeFirst;
  };
  const Case cases[] = {
      {"binding gone", {{"unbind", std::string(kContext) + "/PC1.launcher"}}},
      {"network context gone", {{"unbind", std::string(kContext) + "/PC1.launcher"}, {"remove_context", kContext}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Publish("PC1"), 0);
    for (const auto& args : c.removeFirst) Nameclt(args);
    wrapper.reports.clear();

    wrapper.UnpublishObject(tie, "PC1");
    ASSERT_EQ(wrapper.reports.size(), 1u);
    EXPECT_EQ(wrapper.reports[0].message, kUnbindUnknown);
    EXPECT_EQ(wrapper.reports[0].name, std::nullopt);
    EXPECT_EQ(wrapper.reports[0].info, std::nullopt);
    EXPECT_TRUE(reference->_non_existent()) << "deactivated all the same";
    EXPECT_THAT(ns.List(), ElementsAre("OrvantaRuraduZezarev.context/")) << "the context is made again";
    reference = RuraduZezarev::Launcher::_nil();
  }
}

TEST_F(NamingTest, PublishingTwiceReportsThePublicationError) {
  ASSERT_EQ(Publish("PC1"), 0);
  RuraduZezarev::Launcher_var second;
  EXPECT_EQ(wrapper.PublishObject(tie, "PC1", new Launcher_impl, second), 1);
  EXPECT_TRUE(CORBA::is_nil(second));
  ASSERT_EQ(wrapper.reports.size(), 1u);
  EXPECT_EQ(wrapper.reports[0].message, "An error occurred while publishing the object");
  EXPECT_TRUE(wrapper.reports[0].name.has_value());
}

TEST_F(NamingTest, UnbindWithoutBindingIsAnUnknownError) {
  EXPECT_EQ(wrapper.UnbindObject("PC9"), 1);
  EXPECT_THAT(wrapper.Messages(), ElementsAre(kUnbindUnknown));
}

// A StartService whose family executable records when it ran.
class RemoteCallTest : public NamingTest {
 protected:
  void SetUp() override {
    NamingTest::SetUp();
    ASSERT_EQ(Publish("PC1"), 0);
    script = ns.DataDir() + "/family-service";
    record = ns.DataDir() + "/calls";
    std::ofstream out(script);
    out << "#!/bin/sh\n"
        << "echo \"start $(date +%s%N) $2\" >> " << record << "\n"
        << "sleep 1\n"
        << "echo \"end $(date +%s%N) $2\" >> " << record << "\n";
    out.close();
    ::chmod(script.c_str(), 0755);
  }

  // A client in a process of its own, so the call really crosses the wire.
  std::unique_ptr<testsupport::ChildProcess> StartClient(const std::string& service) {
    auto client = std::make_unique<testsupport::ChildProcess>();
    EXPECT_TRUE(client->Start({CORBA_TEST_CLIENT, ns.Corbaloc(), "PC1", service, script},
                              testsupport::EnvironmentWithout({"ORB", "OMNIORB"})))
        << client->Error();
    return client;
  }

  void Finish(testsupport::ChildProcess& client) {
    client.ReadOutputToEnd(60000);
    ASSERT_TRUE(client.WaitForExit(10000));
    EXPECT_EQ(client.ExitCode(), 0) << client.Output();
    EXPECT_THAT(client.Output(), HasSubstr("result true"));
  }

  struct Interval {
    long long start = 0, end = 0;
  };
  std::map<std::string, Interval> Intervals() {
    std::map<std::string, Interval> intervals;
    std::ifstream in(record);
    std::string what, service;
    long long when;
    while (in >> what >> when >> service) (what == "start" ? intervals[service].start : intervals[service].end) = when;
    return intervals;
  }

  std::string script;
  std::string record;
};

TEST_F(RemoteCallTest, ClientFindsThePublishedLauncherThroughTheNamingService) {
  auto client = StartClient("\"Orvanta WS\"");
  Finish(*client);
  EXPECT_EQ(Intervals().size(), 1u);
}

TEST_F(RemoteCallTest, TwoConcurrentSlowCallsRunOneAfterTheOther) {
  auto first = StartClient("A");
  auto second = StartClient("B");
  Finish(*first);
  Finish(*second);

  auto intervals = Intervals();
  ASSERT_EQ(intervals.size(), 2u);
  Interval a = intervals["A"], b = intervals["B"];
  ASSERT_TRUE(a.start && a.end && b.start && b.end);
  if (b.start < a.start) std::swap(a, b);
  EXPECT_LE(a.end, b.start) << "the calls overlapped";
}

}  // namespace

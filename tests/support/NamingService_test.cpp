#include <signal.h>
#include <unistd.h>

#include "tests/support/NamingService.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace testsupport {
namespace {

using ::testing::ElementsAre;

TEST(NamingServiceTest, RestartOnTheSamePortKeepsBindings) {
  NamingService ns;
  ASSERT_TRUE(ns.Start()) << ns.Error();
  int port = ns.Port();
  std::string output;
  ASSERT_EQ(ns.Nameclt({"bind_new_context", "Kept.context"}, output), 0) << output;
  EXPECT_THAT(ns.List(), ElementsAre("Kept.context/"));

  ns.Stop();
  EXPECT_FALSE(ns.Running());
  EXPECT_NE(ns.Nameclt({"list"}, output), 0) << "nothing may answer once stopped";

  ASSERT_TRUE(ns.Start()) << ns.Error();
  EXPECT_EQ(ns.Port(), port);
  EXPECT_THAT(ns.List(), ElementsAre("Kept.context/"));

  ASSERT_TRUE(ns.Restart()) << ns.Error();
  EXPECT_THAT(ns.List(), ElementsAre("Kept.context/"));
}

TEST(NamingServiceTest, ResolveGivesTheBoundReferenceOrNothing) {
  NamingService ns;
  ASSERT_TRUE(ns.Start()) << ns.Error();
  std::string output;
  ASSERT_EQ(ns.Nameclt({"bind_new_context", "A.context"}, output), 0) << output;
  EXPECT_EQ(ns.Resolve("A.context").rfind("IOR:", 0), 0u);
  EXPECT_EQ(ns.Resolve("Missing.context"), "");
  EXPECT_TRUE(ns.List("Missing.context").empty());
}

TEST(NamingServiceTest, DestructorStopsTheProcess) {
  int pid = -1;
  std::string dataDir;
  {
    NamingService ns;
    ASSERT_TRUE(ns.Start()) << ns.Error();
    pid = ns.Pid();
    dataDir = ns.DataDir();
  }
  // Reaped by the destructor, so the pid names no process of ours any more.
  EXPECT_NE(::kill(pid, 0), 0);
  EXPECT_NE(::access(dataDir.c_str(), F_OK), 0);
}

TEST(ChildProcessTest, ReportsExitCodeSignalAndOutput) {
  std::string output;
  EXPECT_EQ(RunProgram({"sh", "-c", "echo out; echo err >&2; exit 3"}, CurrentEnvironment(), output), 3);
  EXPECT_THAT(output, ::testing::HasSubstr("out\n"));
  EXPECT_THAT(output, ::testing::HasSubstr("err\n"));

  ChildProcess child;
  ASSERT_TRUE(child.Start({"sleep", "60"}, CurrentEnvironment()));
  EXPECT_FALSE(child.WaitForExit(0));
  EXPECT_TRUE(child.Terminate());
  EXPECT_EQ(child.TermSignal(), SIGTERM);
  EXPECT_FALSE(child.Running());

  EXPECT_FALSE(child.Start({"no-such-program-here"}, CurrentEnvironment()));
  EXPECT_FALSE(child.Error().empty());
}

}  // namespace
}  // namespace testsupport

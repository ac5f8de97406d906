#include "crash/minidump/MinidumpWriter.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/crash/minidump/MinidumpTestSupport.h"

namespace {

using minidumptest::DumpedChild;
using minidumptest::MinidumpFile;
using minidumptest::RunLldb;
using minidumptest::TempDir;
using minidumptest::TracerPids;

constexpr std::uint32_t kThreadList = 3, kModuleList = 4, kMemoryList = 5, kException = 6,
                        kSystemInfo = 7, kMemory64List = 9, kMiscInfo = 15;
constexpr std::uint32_t kLinuxStatus = 0x47670004, kLinuxCmdLine = 0x47670006,
                        kLinuxEnviron = 0x47670007, kLinuxAuxv = 0x47670008, kLinuxMaps = 0x47670009;
// glibc's gregs slots for the stack and instruction pointers.
constexpr int kGregRsp = 15, kGregRip = 16;

std::string Hex(std::uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? resolved : path;
}

// The process goes on after a dump: no thread is traced, and it still answers.
void ExpectReleasedAndRunning(DumpedChild& child) {
  for (const auto& [tid, tracer] : TracerPids(child.Pid())) {
    EXPECT_EQ(0, tracer) << "thread " << tid << " still traced";
  }
  EXPECT_TRUE(child.Answers()) << child.Process().Output();
}

class MinidumpWriterTest : public ::testing::Test {
 protected:
  // Dumps the child into a new file of the temporary folder; its path.
  std::string Dump(DumpedChild& child, const crash::CrashInfo& info, bool full, const std::string& name) {
    const std::string path = dir_.Path() + "/" + name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << std::strerror(errno);
    const bool written = crash::WriteMinidump(child.Pid(), info, full, fd);
    const int error = errno;
    ::close(fd);
    EXPECT_TRUE(written) << std::strerror(error);
    return path;
  }

  static crash::CrashInfo OnDemand(int pid) {
    crash::CrashInfo info;
    info.tid = pid;
    return info;
  }

  TempDir dir_;
};

TEST_F(MinidumpWriterTest, CrashDumpShowsSignalAndCrashingFunctionInLldb) {
  DumpedChild child;
  ASSERT_TRUE(child.Start("crash", dir_.Path()));
  const std::string dump = Dump(child, child.Crash(), false, "crash.dmp");

  const std::string out = RunLldb(dump, {"thread list", "bt", "bt all"});
  EXPECT_NE(std::string::npos, out.find("Process " + std::to_string(child.Pid()))) << out;
  EXPECT_NE(std::string::npos, out.find("tid = " + std::to_string(child.Crash().tid))) << out;
  EXPECT_NE(std::string::npos, out.find("stop reason = signal SIGSEGV")) << out;
  EXPECT_NE(std::string::npos, out.find("CrashHere")) << out;
  EXPECT_NE(std::string::npos, out.find("CrashingThread")) << out;
  // The other threads unwind from their own stacks.
  EXPECT_NE(std::string::npos, out.find("WaitingWorker")) << out;
  EXPECT_NE(std::string::npos, out.find("thread #5")) << out;
}

// Every kind of dump is a sound file with the streams debuggers look for.
TEST_F(MinidumpWriterTest, DumpFilesHoldSoundStreams) {
  struct Case {
    const char* mode;
    bool full;
  };
  const Case cases[] = {{"crash", false}, {"crash", true}, {"idle", false}, {"idle", true}};
  const std::string buildId = minidumptest::ReadelfBuildId(MINIDUMP_TEST_CHILD);
  ASSERT_FALSE(buildId.empty());
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + (c.full ? " full" : " normal"));
    DumpedChild child;
    ASSERT_TRUE(child.Start(c.mode, dir_.Path()));
    const bool crashed = std::string(c.mode) == "crash";
    const crash::CrashInfo info = crashed ? child.Crash() : OnDemand(child.Pid());
    const std::string dump = Dump(child, info, c.full, "sound" + std::to_string(n++) + ".dmp");

    MinidumpFile file;
    ASSERT_EQ("", file.Load(dump));
    for (std::uint32_t type : {kThreadList, kModuleList, kMemoryList, kSystemInfo, kMiscInfo,
                               kLinuxStatus, kLinuxCmdLine, kLinuxAuxv, kLinuxMaps}) {
      EXPECT_TRUE(file.Has(type)) << "stream " << std::hex << type;
    }
    EXPECT_FALSE(file.Has(kLinuxEnviron)) << "the environment may hold secrets";
    EXPECT_EQ(crashed, file.Has(kException));
    EXPECT_EQ(c.full, file.Has(kMemory64List));

    const std::string system = file.StreamBytes(kSystemInfo);
    ASSERT_GE(system.size(), 56u);
    EXPECT_EQ(9, static_cast<unsigned char>(system[0]) | (static_cast<unsigned char>(system[1]) << 8));
    std::uint32_t platform = 0;
    std::memcpy(&platform, system.data() + 20, 4);
    EXPECT_EQ(0x8201u, platform);
    const std::string misc = file.StreamBytes(kMiscInfo);
    ASSERT_GE(misc.size(), 24u);
    std::uint32_t miscPid = 0;
    std::memcpy(&miscPid, misc.data() + 8, 4);
    EXPECT_EQ(static_cast<std::uint32_t>(child.Pid()), miscPid);
    EXPECT_NE(std::string::npos,
              file.StreamBytes(kLinuxStatus).find("Pid:\t" + std::to_string(child.Pid()) + "\n"));

    // Every thread of the process, each with an AMD64 context and its stack in the memory list.
    std::set<int> tids;
    for (const auto& entry : TracerPids(child.Pid())) tids.insert(entry.first);
    std::set<int> dumped;
    const auto ranges = file.MemoryList();
    for (const auto& t : file.Threads()) {
      SCOPED_TRACE("thread " + std::to_string(t.tid));
      dumped.insert(static_cast<int>(t.tid));
      EXPECT_EQ(0x00100000u, t.contextFlags & 0x00100000u);
      EXPECT_GT(t.stackSize, 0u);
      EXPECT_LE(t.stackStart, t.rsp);
      EXPECT_GT(t.stackStart + t.stackSize, t.rsp);
      bool listed = false;
      for (const auto& r : ranges) listed |= r.start == t.stackStart && r.size == t.stackSize;
      EXPECT_TRUE(listed);
      if (crashed && static_cast<int>(t.tid) == info.tid) {
        // The registers at the signal, not those inside the handler.
        EXPECT_EQ(info.gregs[kGregRip], t.rip);
        EXPECT_EQ(info.gregs[kGregRsp], t.rsp);
      }
    }
    EXPECT_EQ(tids, dumped);

    if (crashed) {
      const std::string ex = file.StreamBytes(kException);
      ASSERT_GE(ex.size(), 168u);
      std::uint32_t tid = 0, code = 0, flags = 0;
      std::uint64_t address = 0;
      std::memcpy(&tid, ex.data(), 4);
      std::memcpy(&code, ex.data() + 8, 4);
      std::memcpy(&flags, ex.data() + 12, 4);
      std::memcpy(&address, ex.data() + 24, 8);
      EXPECT_EQ(static_cast<std::uint32_t>(info.tid), tid);
      EXPECT_EQ(static_cast<std::uint32_t>(SIGSEGV), code);
      EXPECT_EQ(static_cast<std::uint32_t>(info.code), flags);
      EXPECT_EQ(0x10u, address);
    }

    // The program first, named by its path, with the build id readelf reads from the file.
    const auto modules = file.Modules();
    ASSERT_FALSE(modules.empty());
    EXPECT_EQ(RealPath(MINIDUMP_TEST_CHILD), modules[0].name);
    EXPECT_EQ(0x4270454cu, modules[0].cvSignature);
    EXPECT_EQ(buildId, modules[0].buildIdHex);
    bool libc = false;
    for (const auto& m : modules) libc |= m.name.find("libc.so") != std::string::npos;
    EXPECT_TRUE(libc);

    if (c.full) {
      bool heap = false;
      for (const auto& r : file.Memory64List())
        heap |= r.start <= child.HeapAddress() && child.HeapAddress() + 8 <= r.start + r.size;
      EXPECT_TRUE(heap);
    }
    ExpectReleasedAndRunning(child);
  }
}

TEST_F(MinidumpWriterTest, OnlyTheFullDumpShowsTheHeapInLldb) {
  DumpedChild child;
  ASSERT_TRUE(child.Start("crash", dir_.Path()));
  const std::string normal = Dump(child, child.Crash(), false, "normal.dmp");
  const std::string full = Dump(child, child.Crash(), true, "full.dmp");
  const std::string read = "memory read --format x --size 8 --count 1 " + Hex(child.HeapAddress());

  const std::string fullOut = RunLldb(full, {read, "thread list", "bt"});
  EXPECT_NE(std::string::npos, fullOut.find(Hex(child.HeapValue()))) << fullOut;
  // Full memory must not hide the threads or the crash.
  EXPECT_NE(std::string::npos, fullOut.find("stop reason = signal SIGSEGV")) << fullOut;
  EXPECT_NE(std::string::npos, fullOut.find("CrashHere")) << fullOut;

  const std::string normalOut = RunLldb(normal, {read});
  EXPECT_EQ(std::string::npos, normalOut.find(Hex(child.HeapValue()))) << normalOut;
  struct stat fullStat {}, normalStat {};
  ASSERT_EQ(0, ::stat(full.c_str(), &fullStat));
  ASSERT_EQ(0, ::stat(normal.c_str(), &normalStat));
  EXPECT_GT(fullStat.st_size, normalStat.st_size + (1 << 20));
}

TEST_F(MinidumpWriterTest, DumpOnDemandOpensWithoutStopReasonAndProcessGoesOn) {
  DumpedChild child;
  ASSERT_TRUE(child.Start("idle", dir_.Path()));
  const std::string dump = Dump(child, OnDemand(child.Pid()), false, "demand.dmp");

  const std::string out = RunLldb(dump, {"thread list", "bt all"});
  EXPECT_NE(std::string::npos, out.find("Process " + std::to_string(child.Pid()))) << out;
  EXPECT_NE(std::string::npos, out.find("thread #4")) << out;
  EXPECT_NE(std::string::npos, out.find("WaitingWorker")) << out;
  EXPECT_EQ(std::string::npos, out.find("stop reason = signal")) << out;
  ExpectReleasedAndRunning(child);
}

// Threads that start and end while the dump is taken cost nothing.
TEST_F(MinidumpWriterTest, ThreadsComingAndGoingDuringTheDump) {
  DumpedChild child;
  ASSERT_TRUE(child.Start("churn", dir_.Path()));
  std::string dump;
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    dump = Dump(child, OnDemand(child.Pid()), false, "churn" + std::to_string(i) + ".dmp");
    MinidumpFile file;
    EXPECT_EQ("", file.Load(dump));
    EXPECT_GE(file.Threads().size(), 4u);
  }
  const std::string out = RunLldb(dump, {"bt all"});
  EXPECT_NE(std::string::npos, out.find("WaitingWorker")) << out;
  ExpectReleasedAndRunning(child);
}

// A main thread that called pthread_exit leaves no address space to read
// through it; the other threads still have theirs.
TEST_F(MinidumpWriterTest, ProcessWhoseMainThreadEndedIsDumpedThroughAnother) {
  DumpedChild child;
  ASSERT_TRUE(child.Start("leaderless", dir_.Path()));
  ASSERT_TRUE(child.Process().WaitForOutput("LEADERLESS", 10000)) << child.Process().Output();
  const std::string dump = Dump(child, OnDemand(child.Pid()), false, "leaderless.dmp");
  MinidumpFile file;
  ASSERT_EQ("", file.Load(dump));
  EXPECT_FALSE(file.Modules().empty());
  EXPECT_FALSE(file.MemoryList().empty());
  const std::string out = RunLldb(dump, {"bt all"});
  EXPECT_NE(std::string::npos, out.find("WaitingWorker")) << out;
  ExpectReleasedAndRunning(child);
}

TEST_F(MinidumpWriterTest, ProcessThatIsNotThereFailsAndWritesNothing) {
  // A pid that was just freed.
  const pid_t gone = ::fork();
  ASSERT_GE(gone, 0);
  if (gone == 0) ::_exit(0);
  int status = 0;
  ASSERT_EQ(gone, ::waitpid(gone, &status, 0));

  for (const int pid : {static_cast<int>(gone), 0, -1}) {
    SCOPED_TRACE(pid);
    const std::string path = dir_.Path() + "/none" + std::to_string(pid) + ".dmp";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    crash::CrashInfo info;
    info.tid = pid;
    errno = 0;
    EXPECT_FALSE(crash::WriteMinidump(pid, info, false, fd));
    EXPECT_EQ(ESRCH, errno);
    ::close(fd);
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0, st.st_size);
  }
}

TEST_F(MinidumpWriterTest, UnwritableFileFailsAndReleasesTheProcess) {
  DumpedChild child;
  ASSERT_TRUE(child.Start("crash", dir_.Path()));
  for (const bool full : {false, true}) {
    SCOPED_TRACE(full ? "full" : "normal");
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_FALSE(crash::WriteMinidump(child.Pid(), child.Crash(), full, fd));
    EXPECT_EQ(EBADF, errno);
    ::close(fd);
    ExpectReleasedAndRunning(child);
  }
}

}  // namespace

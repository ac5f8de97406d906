// Helpers of the minidump tests: the process to dump, an independent reader of
// the file, and lldb.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "crash/CrashInfo.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempFolder.h"

namespace minidumptest {

using TempDir = testing_support::TempFolder;
using testing_support::ReadFile;

// The helper program in one of its modes ("idle", "churn", "crash"), running
// until the holder goes; it is killed and reaped then.
class DumpedChild {
 public:
  // Starts the helper and waits until it is ready (or crashed). On failure a
  // gtest failure is recorded and Pid() is -1.
  bool Start(const std::string& mode, const std::string& folder);
  int Pid() const { return process_.Pid(); }
  testsupport::ChildProcess& Process() { return process_; }
  std::uint64_t HeapAddress() const { return heapAddress_; }
  std::uint64_t HeapValue() const { return heapValue_; }
  // Sends SIGUSR1 and waits (bounded) for the helper's answer: true when the
  // process still runs its threads.
  bool Answers();
  // The crash handler's record (mode "crash").
  const crash::CrashInfo& Crash() const { return crash_; }

 private:
  testsupport::ChildProcess process_;
  std::uint64_t heapAddress_ = 0;
  std::uint64_t heapValue_ = 0;
  crash::CrashInfo crash_;
  int signalsSent_ = 0;
};

// Reads a dump file by the format's public layout, on its own.
class MinidumpFile {
 public:
  struct Stream {
    std::uint32_t type;
    std::uint32_t size;
    std::uint32_t rva;
  };
  struct Thread {
    std::uint32_t tid;
    std::uint64_t stackStart;
    std::uint32_t stackSize;
    std::uint32_t contextFlags;
    std::uint64_t rsp;
    std::uint64_t rip;
  };
  struct Module {
    std::uint64_t base;
    std::uint32_t size;
    std::string name;
    std::uint32_t cvSignature;
    std::string buildIdHex;
  };
  struct Range {
    std::uint64_t start;
    std::uint64_t size;
  };

  // Loads `path` and checks the file's soundness. The empty string when it is
  // sound, else what is wrong.
  std::string Load(const std::string& path);

  const std::vector<Stream>& Streams() const { return streams_; }
  bool Has(std::uint32_t type) const;
  // The bytes of a stream; empty when absent.
  std::string StreamBytes(std::uint32_t type) const;
  std::vector<Thread> Threads() const;
  std::vector<Module> Modules() const;
  std::vector<Range> MemoryList() const;
  std::vector<Range> Memory64List() const;
  std::uint32_t U32(std::uint64_t at) const;
  std::uint64_t U64(std::uint64_t at) const;
  std::uint16_t U16(std::uint64_t at) const;
  std::uint64_t Size() const { return bytes_.size(); }

 private:
  bool Inside(std::uint64_t rva, std::uint64_t size) const {
    return rva <= bytes_.size() && size <= bytes_.size() - rva;
  }
  std::string Utf16String(std::uint32_t rva) const;

  std::string bytes_;
  std::vector<Stream> streams_;
};

// Runs lldb in batch mode on `dump` with `commands`; its whole output.
std::string RunLldb(const std::string& dump, const std::vector<std::string>& commands);

// TracerPid of every thread of `pid`, by thread id.
std::map<int, int> TracerPids(int pid);

// The GNU build id of an ELF file as readelf prints it (lower-case hex).
std::string ReadelfBuildId(const std::string& path);


}  // namespace minidumptest

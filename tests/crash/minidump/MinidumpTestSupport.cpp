#include "tests/crash/minidump/MinidumpTestSupport.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <unistd.h>

#include <gtest/gtest.h>

namespace minidumptest {
namespace {

constexpr int kStartTimeoutMs = 20000;
constexpr int kLldbTimeoutMs = 120000;
constexpr int kAnswerTimeoutMs = 10000;

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex.push_back(digits[c >> 4]);
    hex.push_back(digits[c & 15]);
  }
  return hex;
}

}  // namespace

bool DumpedChild::Start(const std::string& mode, const std::string& folder) {
  const std::string infoPath = folder + "/crashinfo";
  if (!process_.Start({MINIDUMP_TEST_CHILD, mode, infoPath}, testsupport::CurrentEnvironment())) {
    ADD_FAILURE() << "helper not started: " << process_.Error();
    return false;
  }
  const std::string awaited = mode == "crash" ? "CRASHED" : "READY";
  // The helper writes each line whole, and the heap line before the awaited one.
  if (!process_.WaitForOutput(awaited, kStartTimeoutMs)) {
    ADD_FAILURE() << "helper not ready; output: " << process_.Output();
    return false;
  }
  const std::string& out = process_.Output();
  unsigned long long address = 0, value = 0;
  const std::size_t heap = out.find("HEAP ");
  if (heap == std::string::npos ||
      std::sscanf(out.c_str() + heap, "HEAP %llx %llx", &address, &value) != 2) {
    ADD_FAILURE() << "no heap line: " << out;
    return false;
  }
  heapAddress_ = address;
  heapValue_ = value;
  if (mode == "crash") {
    const std::string raw = ReadFile(infoPath);
    if (raw.size() != sizeof crash_) {
      ADD_FAILURE() << "crash record of " << raw.size() << " bytes";
      return false;
    }
    std::memcpy(&crash_, raw.data(), sizeof crash_);
  }
  return true;
}

bool DumpedChild::Answers() {
  if (!process_.Signal(SIGUSR1)) return false;
  ++signalsSent_;
  return process_.WaitForOutput("USR1 " + std::to_string(signalsSent_) + "\n", kAnswerTimeoutMs);
}

std::uint16_t MinidumpFile::U16(std::uint64_t at) const {
  std::uint16_t v = 0;
  if (Inside(at, 2)) std::memcpy(&v, bytes_.data() + at, 2);
  return v;
}
std::uint32_t MinidumpFile::U32(std::uint64_t at) const {
  std::uint32_t v = 0;
  if (Inside(at, 4)) std::memcpy(&v, bytes_.data() + at, 4);
  return v;
}
std::uint64_t MinidumpFile::U64(std::uint64_t at) const {
  std::uint64_t v = 0;
  if (Inside(at, 8)) std::memcpy(&v, bytes_.data() + at, 8);
  return v;
}

std::string MinidumpFile::Utf16String(std::uint32_t rva) const {
  const std::uint32_t length = U32(rva);
  if (!Inside(rva + 4ull, length + 2ull)) return "<outside>";
  std::string text;
  for (std::uint32_t i = 0; i < length; i += 2) {
    const std::uint16_t c = U16(rva + 4ull + i);
    text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return text;
}

std::string MinidumpFile::Load(const std::string& path) {
  bytes_ = ReadFile(path);
  streams_.clear();
  if (bytes_.size() < 32) return "shorter than a header";
  if (U32(0) != 0x504d444d) return "no MDMP signature";
  if ((U32(4) & 0xffff) != 0xa793) return "wrong version";
  const std::uint32_t count = U32(8);
  const std::uint32_t dirRva = U32(12);
  if (!Inside(dirRva, count * 12ull)) return "directory outside the file";
  std::set<std::uint32_t> types;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t at = dirRva + i * 12ull;
    Stream s{U32(at), U32(at + 4), U32(at + 8)};
    if (!Inside(s.rva, s.size)) return "stream " + std::to_string(s.type) + " outside the file";
    if (!types.insert(s.type).second) return "stream type " + std::to_string(s.type) + " twice";
    streams_.push_back(s);
  }
  // Lists: their entries and what they point to lie inside the file.
  for (const Stream& s : streams_) {
    if (s.type == 3) {  // threads: count, then 48-byte entries
      if (4 + U32(s.rva) * 48ull > s.size) return "thread list longer than its stream";
      for (std::uint32_t i = 0; i < U32(s.rva); ++i) {
        const std::uint64_t t = s.rva + 4 + i * 48ull;
        if (!Inside(U32(t + 36), U32(t + 32))) return "thread stack outside the file";
        if (!Inside(U32(t + 44), U32(t + 40)) || U32(t + 40) < 1232) return "thread context outside the file";
      }
    } else if (s.type == 4) {  // modules: count, then 108-byte entries
      if (4 + U32(s.rva) * 108ull > s.size) return "module list longer than its stream";
      for (std::uint32_t i = 0; i < U32(s.rva); ++i) {
        const std::uint64_t m = s.rva + 4 + i * 108ull;
        if (!Inside(U32(m + 20), 4) || !Inside(U32(m + 20) + 4ull, U32(U32(m + 20)) + 2ull))
          return "module name outside the file";
        if (!Inside(U32(m + 80), U32(m + 76))) return "CodeView record outside the file";
      }
    } else if (s.type == 5) {  // memory: count, then 16-byte descriptors
      if (4 + U32(s.rva) * 16ull > s.size) return "memory list longer than its stream";
      for (std::uint32_t i = 0; i < U32(s.rva); ++i) {
        const std::uint64_t d = s.rva + 4 + i * 16ull;
        if (!Inside(U32(d + 12), U32(d + 8))) return "memory range outside the file";
      }
    } else if (s.type == 9) {  // memory64: count, base, then 16-byte descriptors
      const std::uint64_t n = U64(s.rva);
      if (16 + n * 16 > s.size) return "memory64 list longer than its stream";
      std::uint64_t total = 0;
      for (std::uint64_t i = 0; i < n; ++i) total += U64(s.rva + 16 + i * 16 + 8);
      if (!Inside(U64(s.rva + 8), total)) return "memory64 bytes outside the file";
    }
  }
  return "";
}

bool MinidumpFile::Has(std::uint32_t type) const {
  for (const Stream& s : streams_) {
    if (s.type == type) return true;
  }
  return false;
}

std::string MinidumpFile::StreamBytes(std::uint32_t type) const {
  for (const Stream& s : streams_) {
    if (s.type == type) return bytes_.substr(s.rva, s.size);
  }
  return "";
}

std::vector<MinidumpFile::Thread> MinidumpFile::Threads() const {
  std::vector<Thread> threads;
  for (const Stream& s : streams_) {
    if (s.type != 3) continue;
    for (std::uint32_t i = 0; i < U32(s.rva); ++i) {
      const std::uint64_t t = s.rva + 4 + i * 48ull;
      const std::uint32_t ctx = U32(t + 44);
      threads.push_back({U32(t), U64(t + 24), U32(t + 32), U32(ctx + 48), U64(ctx + 152), U64(ctx + 248)});
    }
  }
  return threads;
}

std::vector<MinidumpFile::Module> MinidumpFile::Modules() const {
  std::vector<Module> modules;
  for (const Stream& s : streams_) {
    if (s.type != 4) continue;
    for (std::uint32_t i = 0; i < U32(s.rva); ++i) {
      const std::uint64_t m = s.rva + 4 + i * 108ull;
      const std::uint32_t cvSize = U32(m + 76), cvRva = U32(m + 80);
      const std::string cv = cvSize >= 4 ? bytes_.substr(cvRva + 4, cvSize - 4) : "";
      modules.push_back({U64(m), U32(m + 8), Utf16String(U32(m + 20)), U32(cvRva), Hex(cv)});
    }
  }
  return modules;
}

std::vector<MinidumpFile::Range> MinidumpFile::MemoryList() const {
  std::vector<Range> ranges;
  for (const Stream& s : streams_) {
    if (s.type != 5) continue;
    for (std::uint32_t i = 0; i < U32(s.rva); ++i) {
      const std::uint64_t d = s.rva + 4 + i * 16ull;
      ranges.push_back({U64(d), U32(d + 8)});
    }
  }
  return ranges;
}

std::vector<MinidumpFile::Range> MinidumpFile::Memory64List() const {
  std::vector<Range> ranges;
  for (const Stream& s : streams_) {
    if (s.type != 9) continue;
    for (std::uint64_t i = 0; i < U64(s.rva); ++i)
      ranges.push_back({U64(s.rva + 16 + i * 16), U64(s.rva + 16 + i * 16 + 8)});
  }
  return ranges;
}

std::string RunLldb(const std::string& dump, const std::vector<std::string>& commands) {
  std::vector<std::string> argv = {"lldb", "--no-lldbinit", "--batch", "-c", dump};
  for (const std::string& c : commands) {
    argv.push_back("-o");
    argv.push_back(c);
  }
  std::string output;
  testsupport::RunProgram(argv, testsupport::CurrentEnvironment(), output, kLldbTimeoutMs);
  return output;
}

std::map<int, int> TracerPids(int pid) {
  std::map<int, int> tracers;
  const std::string task = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* dir = ::opendir(task.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      const int tid = std::atoi(e->d_name);
      if (tid <= 0) continue;
      const std::string status = ReadFile(task + "/" + e->d_name + "/status");
      const std::size_t at = status.find("TracerPid:");
      if (at != std::string::npos) tracers[tid] = std::atoi(status.c_str() + at + 10);
    }
    ::closedir(dir);
  }
  return tracers;
}

std::string ReadelfBuildId(const std::string& path) {
  std::string output;
  testsupport::RunProgram({"readelf", "-n", path}, testsupport::CurrentEnvironment(), output);
  const std::size_t at = output.find("Build ID: ");
  if (at == std::string::npos) return "";
  std::string id;
  for (std::size_t i = at + 10; i < output.size() && std::isxdigit(static_cast<unsigned char>(output[i])); ++i)
    id.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(output[i]))));
  return id;
}

}  // namespace minidumptest

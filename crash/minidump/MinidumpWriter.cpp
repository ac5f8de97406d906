#include "crash/minidump/MinidumpWriter.h"

#include <algorithm>
#include <cerrno>
#include <cpuid.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <memory>
#include <set>
#include <string>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

#include "crash/minidump/ElfBuildId.h"
#include "crash/minidump/MinidumpContextAmd64.h"
#include "crash/minidump/MinidumpFormat.h"
#include "crash/minidump/ProcessMaps.h"
#include "crash/minidump/ProcessMemory.h"
#include "crash/minidump/ResidentPages.h"
#include "crash/minidump/ScopedPtraceAttach.h"
#include "kllib/KLLib.h"

namespace crash {
namespace {

// All threads together get this long to stop.
constexpr int kStopBudgetMs = 2000;
// Rounds of looking for threads started while the others were being stopped.
constexpr int kMaxTaskScans = 32;
// Below the stack pointer lies the red zone, which leaf functions use.
constexpr std::uint64_t kRedZone = 128;
// Enough of each stack for a backtrace, small enough for a normal dump.
constexpr std::uint64_t kMaxStackBytes = 32 * 1024;
// Code around the crashing instruction.
constexpr std::uint64_t kIpContext = 256;
constexpr std::size_t kCopyChunk = 1024 * 1024;
// Where the kernel cannot tell touched pages apart, a mapping this large is a
// reservation (a sanitizer's shadow), not data: a full dump leaves it out.
constexpr std::uint64_t kMaxUnscannedMapping = 16ull << 30;

// glibc's gregs order in a signal's ucontext.
enum GregIndex {
  kR8 = 0, kR9, kR10, kR11, kR12, kR13, kR14, kR15,
  kRdi, kRsi, kRbp, kRbx, kRdx, kRax, kRcx, kRsp, kRip, kEfl, kCsgsfs,
};
// Where FXSAVE keeps MXCSR.
constexpr std::size_t kFxsaveMxcsrOffset = 24;

struct DumpedThread {
  std::int32_t tid = 0;
  mdmp::ContextAmd64 context{};
  mdmp::MemoryDescriptor stack{};
};

// The dump's bytes except full memory, which is copied straight to the file.
class DumpBuffer {
 public:
  std::uint32_t Size() const { return static_cast<std::uint32_t>(bytes_.size()); }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

  // Appends at an 8-byte boundary; returns the RVA.
  std::uint32_t Append(const void* data, std::size_t size) {
    bytes_.resize((bytes_.size() + 7) & ~std::size_t{7});
    const std::uint32_t rva = Size();
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
    return rva;
  }
  template <class T>
  std::uint32_t AppendObject(const T& object) {
    return Append(&object, sizeof object);
  }
  template <class T>
  void Patch(std::uint32_t rva, const T& object) {
    std::memcpy(bytes_.data() + rva, &object, sizeof object);
  }
  // A count followed by `items`, with no padding between.
  template <class T>
  mdmp::LocationDescriptor AppendList(const std::vector<T>& items) {
    const auto count = static_cast<std::uint32_t>(items.size());
    const std::uint32_t rva = Append(&count, sizeof count);
    if (!items.empty()) bytes_.insert(bytes_.end(), reinterpret_cast<const std::uint8_t*>(items.data()),
                                      reinterpret_cast<const std::uint8_t*>(items.data() + items.size()));
    return {Size() - rva, rva};
  }
  // A length-prefixed UTF-16 string.
  std::uint32_t AppendString(const std::string& utf8) {
    std::u16string text;
    for (wchar_t c : KLLib::strings::toWstr(utf8)) {
      auto cp = static_cast<std::uint32_t>(c);
      if (cp >= 0x10000) {
        cp -= 0x10000;
        text.push_back(static_cast<char16_t>(0xd800 + (cp >> 10)));
        text.push_back(static_cast<char16_t>(0xdc00 + (cp & 0x3ff)));
      } else {
        text.push_back(static_cast<char16_t>(cp));
      }
    }
    const auto length = static_cast<std::uint32_t>(text.size() * 2);
    const std::uint32_t rva = Append(&length, sizeof length);
    text.push_back(u'\0');
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    bytes_.insert(bytes_.end(), p, p + text.size() * 2);
    return rva;
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The thread ids of `pid`. false with errno when the process is not there.
bool ListThreads(std::int32_t pid, std::vector<std::int32_t>& tids) {
  const std::string path = "/proc/" + std::to_string(pid) + "/task";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
  if (!dir) {
    if (errno == ENOENT) errno = ESRCH;
    return false;
  }
  std::vector<std::int32_t> found;
  while (dirent* entry = ::readdir(dir.get())) {
    char* end = nullptr;
    const long tid = std::strtol(entry->d_name, &end, 10);
    if (tid > 0 && end && *end == '\0') found.push_back(static_cast<std::int32_t>(tid));
  }
  // The main thread first, as debuggers expect.
  std::stable_partition(found.begin(), found.end(), [pid](std::int32_t t) { return t == pid; });
  tids.swap(found);
  return true;
}

// A zombie thread (say, a main thread that called pthread_exit) never stops.
bool IsZombie(std::int32_t pid, std::int32_t tid) {
  std::string stat;
  if (!ReadWholeFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat", stat))
    return false;
  const std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() &&
         (stat[close + 2] == 'Z' || stat[close + 2] == 'X');
}

std::int64_t NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Stops every thread of `pid`, also those started meanwhile. false with errno
// when not one thread could be stopped.
bool StopAllThreads(std::int32_t pid, std::vector<std::unique_ptr<ScopedPtraceAttach>>& held) {
  std::set<std::int32_t> seen;
  int firstError = 0;
  const std::int64_t deadline = NowMs() + kStopBudgetMs;
  for (int scan = 0; scan < kMaxTaskScans; ++scan) {
    std::vector<std::int32_t> tids;
    if (!ListThreads(pid, tids)) {
      if (!firstError) firstError = errno;
      break;
    }
    std::vector<ScopedPtraceAttach*> fresh;
    for (std::int32_t tid : tids) {
      if (!seen.insert(tid).second || IsZombie(pid, tid)) continue;
      auto attach = std::make_unique<ScopedPtraceAttach>();
      if (!attach->ResetAndSeize(tid)) {
        if (!firstError) firstError = errno;
        continue;
      }
      fresh.push_back(attach.get());
      held.push_back(std::move(attach));
    }
    if (fresh.empty()) break;
    for (ScopedPtraceAttach* attach : fresh) {
      const int left = static_cast<int>(std::max<std::int64_t>(0, deadline - NowMs()));
      attach->WaitUntilStopped(left);
    }
  }
  for (const auto& attach : held) {
    if (attach->Stopped()) return true;
  }
  errno = firstError ? firstError : ESRCH;
  return false;
}

void ContextFromPtrace(const user_regs_struct& regs, const user_fpregs_struct& fp,
                       mdmp::ContextAmd64& c) {
  c = mdmp::ContextAmd64{};
  c.contextFlags = mdmp::kContextFull | mdmp::kContextSegments;
  c.cs = static_cast<std::uint16_t>(regs.cs);
  c.ss = static_cast<std::uint16_t>(regs.ss);
  c.ds = static_cast<std::uint16_t>(regs.ds);
  c.es = static_cast<std::uint16_t>(regs.es);
  c.fs = static_cast<std::uint16_t>(regs.fs);
  c.gs = static_cast<std::uint16_t>(regs.gs);
  c.eflags = static_cast<std::uint32_t>(regs.eflags);
  c.rax = regs.rax; c.rcx = regs.rcx; c.rdx = regs.rdx; c.rbx = regs.rbx;
  c.rsp = regs.rsp; c.rbp = regs.rbp; c.rsi = regs.rsi; c.rdi = regs.rdi;
  c.r8 = regs.r8; c.r9 = regs.r9; c.r10 = regs.r10; c.r11 = regs.r11;
  c.r12 = regs.r12; c.r13 = regs.r13; c.r14 = regs.r14; c.r15 = regs.r15;
  c.rip = regs.rip;
  c.mxCsr = fp.mxcsr;
  static_assert(sizeof fp == sizeof c.fltSave, "FXSAVE image");
  std::memcpy(c.fltSave, &fp, sizeof c.fltSave);
}

// The registers the crashing thread had at its signal; segments it does not
// carry stay as ptrace saw them.
void ContextFromCrash(const CrashInfo& info, mdmp::ContextAmd64& c) {
  const std::uint64_t* g = info.gregs;
  c.contextFlags = mdmp::kContextFull | mdmp::kContextSegments;
  c.r8 = g[kR8]; c.r9 = g[kR9]; c.r10 = g[kR10]; c.r11 = g[kR11];
  c.r12 = g[kR12]; c.r13 = g[kR13]; c.r14 = g[kR14]; c.r15 = g[kR15];
  c.rdi = g[kRdi]; c.rsi = g[kRsi]; c.rbp = g[kRbp]; c.rbx = g[kRbx];
  c.rdx = g[kRdx]; c.rax = g[kRax]; c.rcx = g[kRcx]; c.rsp = g[kRsp];
  c.rip = g[kRip];
  c.eflags = static_cast<std::uint32_t>(g[kEfl]);
  c.cs = static_cast<std::uint16_t>(g[kCsgsfs] & 0xffff);
  c.gs = static_cast<std::uint16_t>((g[kCsgsfs] >> 16) & 0xffff);
  c.fs = static_cast<std::uint16_t>((g[kCsgsfs] >> 32) & 0xffff);
  std::memcpy(c.fltSave, info.fpregs, sizeof c.fltSave);
  std::memcpy(&c.mxCsr, info.fpregs + kFxsaveMxcsrOffset, sizeof c.mxCsr);
}

// Copies [start, end) of the process into the buffer as one memory range.
mdmp::MemoryDescriptor AppendMemory(DumpBuffer& out, const ProcessMemory& memory,
                                    std::uint64_t start, std::uint64_t end) {
  std::vector<std::uint8_t> bytes(end - start);
  memory.ReadFilling(start, bytes.size(), bytes.data());
  const std::uint32_t rva = out.Append(bytes.data(), bytes.size());
  return {start, {static_cast<std::uint32_t>(bytes.size()), rva}};
}

// The stack from just below `sp` up to the end of its mapping, capped.
bool StackRange(const std::vector<Mapping>& maps, std::uint64_t sp, std::uint64_t& start,
                std::uint64_t& end) {
  const Mapping* m = FindMapping(maps, sp);
  if (!m || !m->readable) return false;
  start = std::max(sp > kRedZone ? sp - kRedZone : 0, m->start);
  end = std::min(m->end, start + kMaxStackBytes);
  return end > start;
}

struct ModuleRange {
  std::string path;
  std::uint64_t inode = 0;
  std::uint64_t base = 0;
  std::uint64_t end = 0;
  bool executable = false;
  bool headerAtBase = false;
};

// File-backed mappings grouped per file; only files with code are modules.
std::vector<ModuleRange> FindModules(const std::vector<Mapping>& maps, const std::string& exe) {
  std::vector<ModuleRange> groups;
  for (const Mapping& m : maps) {
    if (m.path.empty() || m.path[0] != '/' || m.inode == 0) continue;
    if (!groups.empty() && groups.back().path == m.path && groups.back().inode == m.inode &&
        m.start >= groups.back().end) {
      groups.back().end = m.end;
      groups.back().executable |= m.executable;
      continue;
    }
    groups.push_back({m.path, m.inode, m.start, m.end, m.executable, m.offset == 0});
  }
  std::vector<ModuleRange> modules;
  for (const ModuleRange& g : groups) {
    if (g.executable && g.headerAtBase) modules.push_back(g);
  }
  // The executable first: debuggers take the first module as the program.
  std::stable_partition(modules.begin(), modules.end(),
                        [&exe](const ModuleRange& r) { return r.path == exe; });
  return modules;
}

std::string ProcPath(std::int32_t pid, const char* name) {
  return "/proc/" + std::to_string(pid) + "/" + name;
}

void AddStream(std::vector<mdmp::Directory>& dir, std::uint32_t type, mdmp::LocationDescriptor where) {
  dir.push_back({type, where});
}

// A stream holding a file's bytes as they are; skipped when unreadable.
void AddFileStream(DumpBuffer& out, std::vector<mdmp::Directory>& dir, std::uint32_t type,
                   const std::string& path) {
  std::string text;
  if (!ReadWholeFile(path, text)) return;
  const std::uint32_t rva = out.Append(text.data(), text.size());
  AddStream(dir, type, {static_cast<std::uint32_t>(text.size()), rva});
}

mdmp::SystemInfo MakeSystemInfo(DumpBuffer& out) {
  mdmp::SystemInfo si{};
  si.processorArchitecture = mdmp::kProcessorArchitectureAmd64;
  si.platformId = mdmp::kPlatformLinux;
  const long cpus = ::sysconf(_SC_NPROCESSORS_CONF);
  si.numberOfProcessors = static_cast<std::uint8_t>(std::clamp<long>(cpus, 1, 255));
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(0, &a, &b, &c, &d)) {
    si.vendorId[0] = b;
    si.vendorId[1] = d;
    si.vendorId[2] = c;
  }
  if (__get_cpuid(1, &a, &b, &c, &d)) {
    si.versionInformation = a;
    si.featureInformation = d;
    unsigned family = (a >> 8) & 0xf;
    unsigned model = (a >> 4) & 0xf;
    if (family == 0xf) family += (a >> 20) & 0xff;
    if (family >= 6) model |= ((a >> 16) & 0xf) << 4;
    si.processorLevel = static_cast<std::uint16_t>(family);
    si.processorRevision = static_cast<std::uint16_t>((model << 8) | (a & 0xf));
  }
  if (__get_cpuid(0x80000001, &a, &b, &c, &d)) si.amdExtendedCpuFeatures = d;
  utsname un{};
  std::string version;
  if (::uname(&un) == 0) {
    unsigned major = 0, minor = 0, build = 0;
    std::sscanf(un.release, "%u.%u.%u", &major, &minor, &build);
    si.majorVersion = major;
    si.minorVersion = minor;
    si.buildNumber = build;
    version = std::string(un.sysname) + " " + un.release + " " + un.version + " " + un.machine;
  }
  si.csdVersionRva = out.AppendString(version);
  return si;
}

mdmp::MiscInfo MakeMiscInfo(std::int32_t pid) {
  mdmp::MiscInfo misc{};
  misc.sizeOfInfo = sizeof misc;
  misc.flags1 = mdmp::kMiscInfoProcessId;
  misc.processId = static_cast<std::uint32_t>(pid);
  std::string stat, systemStat;
  if (!ReadWholeFile(ProcPath(pid, "stat"), stat) || !ReadWholeFile("/proc/stat", systemStat))
    return misc;
  // Fields after the command name, which may hold anything up to its last ')'.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return misc;
  std::vector<unsigned long long> fields;
  const char* p = stat.c_str() + close + 2;
  while (*p) {
    while (*p == ' ') ++p;
    char* end = nullptr;
    fields.push_back(std::strtoull(p, &end, 10));
    if (end == p) ++end;  // the state letter
    p = end;
  }
  const std::size_t btimeAt = systemStat.find("btime ");
  const long ticks = ::sysconf(_SC_CLK_TCK);
  // utime, stime and starttime are fields 14, 15 and 22 of the line.
  if (fields.size() < 20 || btimeAt == std::string::npos || ticks <= 0) return misc;
  const unsigned long long bootTime = std::strtoull(systemStat.c_str() + btimeAt + 6, nullptr, 10);
  misc.flags1 |= mdmp::kMiscInfoProcessTimes;
  misc.processUserTime = static_cast<std::uint32_t>(fields[11] / ticks);
  misc.processKernelTime = static_cast<std::uint32_t>(fields[12] / ticks);
  misc.processCreateTime = static_cast<std::uint32_t>(bootTime + fields[19] / ticks);
  return misc;
}

// Mappings whose bytes a full dump holds.
bool WorthFullCopy(const Mapping& m) {
  if (!m.readable) return false;
  if (m.path == "[vvar]" || m.path == "[vvar_vclock]" || m.path == "[vsyscall]") return false;
  // Reading a device's mapping may have effects on the device.
  if (m.path.compare(0, 5, "/dev/") == 0 && m.path.compare(0, 9, "/dev/shm/") != 0 &&
      m.path.compare(0, 9, "/dev/zero") != 0) {
    return false;
  }
  return true;
}

// Registers of every stopped thread; the crashing one as it was at its signal.
// `crash` is set when a context for the exception stream is known.
std::vector<DumpedThread> CollectThreads(const std::vector<std::unique_ptr<ScopedPtraceAttach>>& held,
                                         const CrashInfo& info, mdmp::ContextAmd64& crashContext,
                                         bool& crash) {
  std::vector<DumpedThread> threads;
  crash = false;
  for (const auto& attach : held) {
    if (!attach->Stopped()) continue;
    user_regs_struct regs{};
    user_fpregs_struct fp{};
    if (::ptrace(PTRACE_GETREGS, attach->Tid(), nullptr, &regs) != 0) continue;
    if (::ptrace(PTRACE_GETFPREGS, attach->Tid(), nullptr, &fp) != 0) fp = user_fpregs_struct{};
    DumpedThread t;
    t.tid = attach->Tid();
    ContextFromPtrace(regs, fp, t.context);
    if (t.tid == info.tid) {
      // Its ptrace registers show it inside its crash handler; the dump shows the crash.
      if (info.hasContext) ContextFromCrash(info, t.context);
      crashContext = t.context;
      crash = true;
    }
    threads.push_back(t);
  }
  if (!crash && info.hasContext) {
    ContextFromCrash(info, crashContext);
    crash = true;
  }
  return threads;
}

// The thread list, and the memory list with every stack and, for a crash,
// the code around the crashing instruction.
void AddThreadsAndMemory(DumpBuffer& out, std::vector<mdmp::Directory>& dir,
                         const std::vector<Mapping>& maps, const ProcessMemory& memory,
                         std::vector<DumpedThread>& threads, const mdmp::ContextAmd64* crash) {
  std::vector<mdmp::MemoryDescriptor> ranges;
  for (DumpedThread& t : threads) {
    std::uint64_t start = 0, end = 0;
    if (StackRange(maps, t.context.rsp, start, end)) {
      t.stack = AppendMemory(out, memory, start, end);
      ranges.push_back(t.stack);
    } else {
      t.stack.startOfMemoryRange = t.context.rsp;
    }
  }
  if (crash) {
    const std::uint64_t ip = crash->rip;
    const Mapping* m = FindMapping(maps, ip);
    if (m && m->readable) {
      const std::uint64_t start = std::max(ip > kIpContext ? ip - kIpContext : 0, m->start);
      const std::uint64_t end = std::min(m->end, ip + kIpContext);
      ranges.push_back(AppendMemory(out, memory, start, end));
    }
  }
  std::vector<mdmp::Thread> records;
  for (const DumpedThread& t : threads) {
    mdmp::Thread record{};
    record.threadId = static_cast<std::uint32_t>(t.tid);
    record.stack = t.stack;
    record.threadContext = {sizeof t.context, out.AppendObject(t.context)};
    records.push_back(record);
  }
  AddStream(dir, mdmp::kThreadListStream, out.AppendList(records));
  AddStream(dir, mdmp::kMemoryListStream, out.AppendList(ranges));
}

// Modules with their names and build ids, by which debuggers find the files.
void AddModuleList(DumpBuffer& out, std::vector<mdmp::Directory>& dir, const std::string& task,
                   const std::vector<Mapping>& maps, const ProcessMemory& memory) {
  std::string exe;
  char link[4096];
  const ssize_t n = ::readlink((task + "exe").c_str(), link, sizeof link - 1);
  if (n > 0) exe.assign(link, static_cast<std::size_t>(n));

  std::vector<mdmp::Module> modules;
  for (const ModuleRange& r : FindModules(maps, exe)) {
    mdmp::Module module{};
    module.baseOfImage = r.base;
    module.sizeOfImage = static_cast<std::uint32_t>(std::min<std::uint64_t>(r.end - r.base, UINT32_MAX));
    module.moduleNameRva = out.AppendString(r.path);
    std::vector<std::uint8_t> id;
    // The mapped image is what ran; the file may have been replaced since.
    if (!ReadElfBuildIdFromMemory(memory, r.base, id))
      ReadElfBuildIdFromFile(task + "root" + r.path, id);
    std::vector<std::uint8_t> cv(sizeof mdmp::kCvSignatureElfBuildId);
    std::memcpy(cv.data(), &mdmp::kCvSignatureElfBuildId, cv.size());
    cv.insert(cv.end(), id.begin(), id.end());
    module.cvRecord = {static_cast<std::uint32_t>(cv.size()), out.Append(cv.data(), cv.size())};
    modules.push_back(module);
  }
  AddStream(dir, mdmp::kModuleListStream, out.AppendList(modules));
}

void AddExceptionStream(DumpBuffer& out, std::vector<mdmp::Directory>& dir, const CrashInfo& info,
                        const mdmp::ContextAmd64* crash) {
  mdmp::ExceptionStream ex{};
  ex.threadId = static_cast<std::uint32_t>(info.tid);
  ex.exceptionRecord.exceptionCode = static_cast<std::uint32_t>(info.signo);
  ex.exceptionRecord.exceptionFlags = static_cast<std::uint32_t>(info.code);
  ex.exceptionRecord.exceptionAddress = info.faultAddress;
  if (crash) ex.threadContext = {sizeof *crash, out.AppendObject(*crash)};
  AddStream(dir, mdmp::kExceptionStream, {sizeof ex, out.AppendObject(ex)});
}

// System and process information, and the process's own /proc files (never
// its environment, which may hold secrets).
void AddProcessStreams(DumpBuffer& out, std::vector<mdmp::Directory>& dir, std::int32_t pid,
                       const std::string& task, const std::string& mapsText) {
  const mdmp::SystemInfo systemInfo = MakeSystemInfo(out);
  AddStream(dir, mdmp::kSystemInfoStream, {sizeof systemInfo, out.AppendObject(systemInfo)});
  const mdmp::MiscInfo misc = MakeMiscInfo(pid);
  AddStream(dir, mdmp::kMiscInfoStream, {sizeof misc, out.AppendObject(misc)});

  AddFileStream(out, dir, mdmp::kLinuxCpuInfoStream, "/proc/cpuinfo");
  AddFileStream(out, dir, mdmp::kLinuxProcStatusStream, ProcPath(pid, "status"));
  std::string release;
  AddFileStream(out, dir, mdmp::kLinuxLsbReleaseStream,
                ReadWholeFile("/etc/lsb-release", release) ? "/etc/lsb-release" : "/etc/os-release");
  AddFileStream(out, dir, mdmp::kLinuxCmdLineStream, task + "cmdline");
  AddFileStream(out, dir, mdmp::kLinuxAuxvStream, task + "auxv");
  const std::uint32_t rva = out.Append(mapsText.data(), mapsText.size());
  AddStream(dir, mdmp::kLinuxMapsStream, {static_cast<std::uint32_t>(mapsText.size()), rva});
}

// What a full dump copies: the pages of every readable mapping that hold data.
std::vector<mdmp::MemoryDescriptor64> FullMemoryRanges(std::int32_t tid, const std::vector<Mapping>& maps) {
  std::vector<mdmp::MemoryDescriptor64> ranges;
  const ResidentPages resident(tid);
  for (const Mapping& m : maps) {
    if (!WorthFullCopy(m)) continue;
    std::vector<PageRange> runs;
    if (resident.Find(m.start, m.end, runs)) {
      for (const PageRange& r : runs) ranges.push_back({r.start, r.end - r.start});
    } else if (m.end - m.start <= kMaxUnscannedMapping) {
      ranges.push_back({m.start, m.end - m.start});
    }
  }
  return ranges;
}

bool WriteFullMemory(int fd, const ProcessMemory& memory,
                     const std::vector<mdmp::MemoryDescriptor64>& ranges) {
  std::vector<std::uint8_t> chunk(kCopyChunk);
  for (const auto& r : ranges) {
    for (std::uint64_t done = 0; done < r.dataSize;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), r.dataSize - done));
      memory.ReadFilling(r.startOfMemoryRange + done, n, chunk.data());
      if (!WriteAll(fd, chunk.data(), n)) return false;
      done += n;
    }
  }
  return true;
}

}  // namespace

bool WriteMinidump(std::int32_t pid, const CrashInfo& info, bool fullMemory, int fd) {
  if (pid <= 0) {
    errno = ESRCH;
    return false;
  }
  std::vector<std::unique_ptr<ScopedPtraceAttach>> held;
  if (!StopAllThreads(pid, held)) return false;

  mdmp::ContextAmd64 crashContext{};
  bool haveCrashContext = false;
  std::vector<DumpedThread> threads = CollectThreads(held, info, crashContext, haveCrashContext);
  if (threads.empty()) {
    errno = ESRCH;
    return false;
  }
  // The address space is read through a live thread: a main thread that
  // called pthread_exit has none left to show.
  // (The main thread comes first when it is there.)
  const std::int32_t reader = threads.front().tid;
  const std::string task = ProcPath(pid, "task/") + std::to_string(reader) + "/";

  // Read after every thread stopped, so nothing changes below us.
  std::string mapsText;
  if (!ReadWholeFile(task + "maps", mapsText)) return false;
  const std::vector<Mapping> maps = ParseProcessMaps(mapsText);
  const ProcessMemory memory(reader);
  // A dump on demand has no exception: debuggers then show no stop reason.
  const bool crashed = info.signo != 0;
  const mdmp::ContextAmd64* crash = crashed && haveCrashContext ? &crashContext : nullptr;

  DumpBuffer out;
  out.AppendObject(mdmp::Header{});
  std::vector<mdmp::Directory> dir;
  AddThreadsAndMemory(out, dir, maps, memory, threads, crash);
  AddModuleList(out, dir, task, maps, memory);
  if (crashed) AddExceptionStream(out, dir, info, crash);
  AddProcessStreams(out, dir, pid, task, mapsText);

  // Full memory: its list here, its bytes after everything else.
  std::vector<mdmp::MemoryDescriptor64> fullRanges;
  std::uint32_t memory64Rva = 0;
  if (fullMemory) {
    fullRanges = FullMemoryRanges(reader, maps);
    memory64Rva = out.AppendObject(mdmp::Memory64ListHeader{fullRanges.size(), 0});
    out.Append(fullRanges.data(), fullRanges.size() * sizeof(mdmp::MemoryDescriptor64));
    AddStream(dir, mdmp::kMemory64ListStream, {out.Size() - memory64Rva, memory64Rva});
  }

  const std::uint32_t dirRva = out.Append(dir.data(), dir.size() * sizeof(mdmp::Directory));
  mdmp::Header header{};
  header.signature = mdmp::kSignature;
  header.version = mdmp::kVersion;
  header.numberOfStreams = static_cast<std::uint32_t>(dir.size());
  header.streamDirectoryRva = dirRva;
  header.timeDateStamp = static_cast<std::uint32_t>(std::time(nullptr));
  out.Patch(0, header);
  if (fullMemory) out.Patch(memory64Rva, mdmp::Memory64ListHeader{fullRanges.size(), out.Size()});

  if (!WriteAll(fd, out.Bytes().data(), out.Bytes().size())) return false;
  return !fullMemory || WriteFullMemory(fd, memory, fullRanges);
}

}  // namespace crash

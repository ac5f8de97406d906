// On-disk records of the minidump (MDMP) file format, little-endian, packed as
// debuggers read them. Offsets inside the file (RVAs) count from its first byte.
#pragma once

#include <cstdint>

namespace crash {
namespace mdmp {

constexpr std::uint32_t kSignature = 0x504d444d;  // "MDMP"
constexpr std::uint32_t kVersion = 0xa793;        // low word; readers check only that

// Stream types.
enum StreamType : std::uint32_t {
  kThreadListStream = 3,
  kModuleListStream = 4,
  kMemoryListStream = 5,
  kExceptionStream = 6,
  kSystemInfoStream = 7,
  kMemory64ListStream = 9,
  kMiscInfoStream = 15,
  // Linux additions: raw text or bytes of the named /proc or /etc file.
  kLinuxCpuInfoStream = 0x47670003,     // /proc/cpuinfo
  kLinuxProcStatusStream = 0x47670004,  // /proc/PID/status
  kLinuxLsbReleaseStream = 0x47670005,  // /etc/lsb-release
  kLinuxCmdLineStream = 0x47670006,     // /proc/PID/cmdline
  kLinuxEnvironStream = 0x47670007,     // /proc/PID/environ: never written (secrets)
  kLinuxAuxvStream = 0x47670008,        // /proc/PID/auxv
  kLinuxMapsStream = 0x47670009,        // /proc/PID/maps
};

#pragma pack(push, 1)

struct LocationDescriptor {
  std::uint32_t dataSize;
  std::uint32_t rva;
};
static_assert(sizeof(LocationDescriptor) == 8, "layout");

struct Header {
  std::uint32_t signature;
  std::uint32_t version;
  std::uint32_t numberOfStreams;
  std::uint32_t streamDirectoryRva;
  std::uint32_t checkSum;
  std::uint32_t timeDateStamp;
  std::uint64_t flags;
};
static_assert(sizeof(Header) == 32, "layout");

struct Directory {
  std::uint32_t streamType;
  LocationDescriptor location;
};
static_assert(sizeof(Directory) == 12, "layout");

// A length-prefixed UTF-16 string; `length` counts bytes without the
// terminating zero, which follows the characters.
struct StringHeader {
  std::uint32_t length;
};

struct MemoryDescriptor {
  std::uint64_t startOfMemoryRange;
  LocationDescriptor memory;
};
static_assert(sizeof(MemoryDescriptor) == 16, "layout");

// Memory list stream: a uint32 count, then that many MemoryDescriptor.

struct MemoryDescriptor64 {
  std::uint64_t startOfMemoryRange;
  std::uint64_t dataSize;
};
static_assert(sizeof(MemoryDescriptor64) == 16, "layout");

// Memory64 list stream: the ranges' bytes lie back to back from baseRva on.
struct Memory64ListHeader {
  std::uint64_t numberOfMemoryRanges;
  std::uint64_t baseRva;
};
static_assert(sizeof(Memory64ListHeader) == 16, "layout");

// Thread list stream: a uint32 count, then that many Thread.
struct Thread {
  std::uint32_t threadId;
  std::uint32_t suspendCount;
  std::uint32_t priorityClass;
  std::uint32_t priority;
  std::uint64_t teb;
  MemoryDescriptor stack;
  LocationDescriptor threadContext;
};
static_assert(sizeof(Thread) == 48, "layout");

struct FixedFileInfo {
  std::uint32_t signature;
  std::uint32_t strucVersion;
  std::uint32_t fileVersionHi;
  std::uint32_t fileVersionLo;
  std::uint32_t productVersionHi;
  std::uint32_t productVersionLo;
  std::uint32_t fileFlagsMask;
  std::uint32_t fileFlags;
  std::uint32_t fileOs;
  std::uint32_t fileType;
  std::uint32_t fileSubtype;
  std::uint32_t fileDateHi;
  std::uint32_t fileDateLo;
};
static_assert(sizeof(FixedFileInfo) == 52, "layout");

// Module list stream: a uint32 count, then that many Module.
struct Module {
  std::uint64_t baseOfImage;
  std::uint32_t sizeOfImage;
  std::uint32_t checkSum;
  std::uint32_t timeDateStamp;
  std::uint32_t moduleNameRva;  // a string
  FixedFileInfo versionInfo;
  LocationDescriptor cvRecord;  // CodeView record, see kCvSignatureElfBuildId
  LocationDescriptor miscRecord;
  std::uint64_t reserved0;
  std::uint64_t reserved1;
};
static_assert(sizeof(Module) == 108, "layout");

// CodeView record of an ELF module: this signature ("BpEL"), then the bytes of
// its GNU build id.
constexpr std::uint32_t kCvSignatureElfBuildId = 0x4270454c;

constexpr int kExceptionMaximumParameters = 15;

struct ExceptionRecord {
  std::uint32_t exceptionCode;   // Linux: the signal number
  std::uint32_t exceptionFlags;  // Linux: si_code
  std::uint64_t exceptionRecord;
  std::uint64_t exceptionAddress;  // Linux: the fault address
  std::uint32_t numberParameters;
  std::uint32_t unusedAlignment;
  std::uint64_t exceptionInformation[kExceptionMaximumParameters];
};
static_assert(sizeof(ExceptionRecord) == 152, "layout");

struct ExceptionStream {
  std::uint32_t threadId;
  std::uint32_t alignment;
  ExceptionRecord exceptionRecord;
  LocationDescriptor threadContext;
};
static_assert(sizeof(ExceptionStream) == 168, "layout");

constexpr std::uint16_t kProcessorArchitectureAmd64 = 9;
constexpr std::uint32_t kPlatformLinux = 0x8201;

struct SystemInfo {
  std::uint16_t processorArchitecture;
  std::uint16_t processorLevel;
  std::uint16_t processorRevision;
  std::uint8_t numberOfProcessors;
  std::uint8_t productType;
  std::uint32_t majorVersion;
  std::uint32_t minorVersion;
  std::uint32_t buildNumber;
  std::uint32_t platformId;
  std::uint32_t csdVersionRva;  // a string: the kernel's uname text
  std::uint16_t suiteMask;
  std::uint16_t reserved2;
  // CPU information, x86 form.
  std::uint32_t vendorId[3];
  std::uint32_t versionInformation;
  std::uint32_t featureInformation;
  std::uint32_t amdExtendedCpuFeatures;
};
static_assert(sizeof(SystemInfo) == 56, "layout");

constexpr std::uint32_t kMiscInfoProcessId = 0x00000001;
constexpr std::uint32_t kMiscInfoProcessTimes = 0x00000002;

struct MiscInfo {
  std::uint32_t sizeOfInfo;
  std::uint32_t flags1;
  std::uint32_t processId;
  std::uint32_t processCreateTime;  // seconds since the epoch
  std::uint32_t processUserTime;    // seconds
  std::uint32_t processKernelTime;  // seconds
};
static_assert(sizeof(MiscInfo) == 24, "layout");

#pragma pack(pop)

}  // namespace mdmp
}  // namespace crash

// crashdemo [--appname NAME] [--full] (--crash segv|abort | --dump)
// A program of the family that registers with the crash server, then crashes
// or asks for a dump of itself. Exit codes: 0 done (--dump), 1 the dump was
// not written, 2 bad command line, 3 registration failed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crash/client/CrashClient.h"
#include "kllib/KLLib.h"

namespace {

// The heap marker, shifted by one so the program's own bytes never hold it.
constexpr char kShiftedMarker[] = "DSBTIEFNP.IFBQ.NBSLFS";  // "CRASHDEMO-HEAP-MARKER"

// Kept in a global so no register or stack slot points into the block at the crash.
char* volatile gHeapBlock = nullptr;

void PutMarkerOnHeap() {
  constexpr std::size_t kBlockBytes = 1 << 20;
  auto* block = static_cast<char*>(std::malloc(kBlockBytes));
  if (block == nullptr) return;
  std::memset(block, 0x5a, kBlockBytes);
  for (std::size_t i = 0; kShiftedMarker[i] != '\0'; ++i) block[kBlockBytes / 2 + i] = static_cast<char>(kShiftedMarker[i] - 1);
  gHeapBlock = block;
}

// The null store is the point: it must reach the crash handlers as a real
// SIGSEGV, not be stopped by a sanitizer's null check first.
__attribute__((noinline, no_sanitize("null"))) void CrashDemoFault(const char* how) {
  if (std::strcmp(how, "abort") == 0) std::abort();
  volatile int* nowhere = nullptr;
  *nowhere = 42;
  std::abort();  // not reached
}

int Usage() {
  std::fprintf(stderr, "usage: crashdemo [--appname NAME] [--full] (--crash segv|abort | --dump)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<crash::protocol::CustomInfoEntry> info;
  crash::protocol::DumpType type = crash::protocol::DumpType::Normal;
  const char* crashKind = nullptr;
  bool dump = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--appname" && i + 1 < argc) {
      info.push_back({L"appname", KLLib::strings::toWstr(argv[++i])});
    } else if (arg == "--full") {
      type = crash::protocol::DumpType::FullMemory;
    } else if (arg == "--crash" && i + 1 < argc && (std::strcmp(argv[i + 1], "segv") == 0 || std::strcmp(argv[i + 1], "abort") == 0)) {
      crashKind = argv[++i];
    } else if (arg == "--dump") {
      dump = true;
    } else {
      return Usage();
    }
  }
  if ((crashKind == nullptr) == !dump) return Usage();

  PutMarkerOnHeap();
  if (!crash::StartCrashClient(info, type)) {
    std::fprintf(stderr, "crashdemo: no crash server\n");
    return 3;
  }
  std::printf("registered %d\n", static_cast<int>(::getpid()));
  std::fflush(stdout);
  if (crashKind != nullptr) {
    CrashDemoFault(crashKind);
    return 0;
  }
  const bool written = crash::RequestDump();
  std::printf("%s\n", written ? "dump written, still running" : "dump failed");
  return written ? 0 : 1;
}

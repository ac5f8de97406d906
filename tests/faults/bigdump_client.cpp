// bigdump_client MEGABYTES: a family program with a lot of memory. Registers
// for full-memory dumps, fills MEGABYTES of heap, prints "filled", asks for a
// dump of itself and prints the outcome. Exit codes: 0 dump written, 1 dump
// failed, 2 bad command line, 3 no crash server.
#include <cstdio>
#include <cstdlib>

#include "crash/client/CrashClient.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const long megabytes = std::strtol(argv[1], nullptr, 10);
  if (megabytes <= 0) return 2;
  if (!crash::StartCrashClient({{L"appname", L"bigdump_client"}}, crash::protocol::DumpType::FullMemory)) return 3;
  const std::size_t bytes = static_cast<std::size_t>(megabytes) << 20;
  // Written through a volatile pointer so the stores stay: every page is
  // resident and the full dump has all of it to copy.
  volatile char* block = static_cast<volatile char*>(std::malloc(bytes));
  if (block == nullptr) return 1;
  for (std::size_t i = 0; i < bytes; i += 512) block[i] = static_cast<char>(i >> 9);
  std::printf("filled\n");
  std::fflush(stdout);
  const bool written = crash::RequestDump();
  std::printf("%s\n", written ? "dump written" : "dump failed");
  return written ? 0 : 1;
}

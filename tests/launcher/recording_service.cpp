// Stand-in for a family service executable: appends its argument vector to
// the file named by $RECORDING_SERVICE_LOG (one argument a line, then a line
// "----" per run) and exits with 3, as a service executable reporting a
// failure would. With $RECORDING_SERVICE_REMOVE_SELF_ON equal to its first
// argument, it deletes its own file after recording, so a later run fails.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int main(int argc, char** argv) {
  const char* log = std::getenv("RECORDING_SERVICE_LOG");
  if (log != nullptr && log[0] != '\0') {
    std::FILE* out = std::fopen(log, "a");
    if (out == nullptr) return 100;
    for (int i = 0; i < argc; ++i) std::fprintf(out, "%s\n", argv[i]);
    std::fputs("----\n", out);
    std::fclose(out);
  }
  const char* removeOn = std::getenv("RECORDING_SERVICE_REMOVE_SELF_ON");
  if (removeOn != nullptr && argc > 1 && std::strcmp(argv[1], removeOn) == 0) unlink(argv[0]);
  return 3;
}

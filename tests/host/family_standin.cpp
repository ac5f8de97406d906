// Stand-in for a family service executable: appends one line per run to the
// file named by $FAMILY_STANDIN_RECORD, its arguments (without the program)
// separated by '|', and exits with 3 as a service executable reporting a
// failure would; the launcher only cares that it ran to its end.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  const char* record = std::getenv("FAMILY_STANDIN_RECORD");
  if (record == nullptr || record[0] == '\0') return 100;
  std::FILE* out = std::fopen(record, "a");
  if (out == nullptr) return 101;
  for (int i = 1; i < argc; ++i) std::fprintf(out, "%s%s", i > 1 ? "|" : "", argv[i]);
  std::fputs("\n", out);
  std::fclose(out);
  return 3;
}

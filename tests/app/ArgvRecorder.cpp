// Stand-in browser/opener: writes its argument vector, one entry a line,
// to the file named by $QUILL_RECORD_FILE (through a temporary name, so a
// reader never sees half of it).
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const char* target = std::getenv("QUILL_RECORD_FILE");
  if (!target) return 2;
  const std::string tmp = std::string(target) + ".part";
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return 3;
  for (int i = 0; i < argc; ++i) std::fprintf(f, "%s\n", argv[i]);
  std::fclose(f);
  return std::rename(tmp.c_str(), target) == 0 ? 0 : 4;
}

// Stand-in upgrade libraries for the start-up tests: one with all four
// exports, one that lacks WaitForFile.
#include <stdint.h>

extern "C" {
__attribute__((visibility("default"))) int32_t Upgrade(const char*, const char*, const char*, const char*,
                                                       int32_t, void*) {
  return 0;
}
__attribute__((visibility("default"))) void GetLastError(const char** text, int32_t* code) {
  if (text) *text = "";
  if (code) *code = 0;
}
__attribute__((visibility("default"))) void Cancel(void) {}
#ifdef STUB_WITH_WAIT_FOR_FILE
__attribute__((visibility("default"))) int32_t WaitForFile(const char*, uint32_t, void*) { return 0; }
#endif
}

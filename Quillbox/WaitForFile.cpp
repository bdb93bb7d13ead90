// TFTP wait export: lets a device fetch a file from this PC.
#include <cstdint>

#include "QuillboxApi.h"

extern "C" __attribute__((visibility("default"))) int32_t WaitForFile(const char* filePath, uint32_t reserved,
                                                                       void* ownerWindow) {
  (void)filePath;
  (void)reserved;
  (void)ownerWindow;
  return 0;  // refused until the server is in place
}

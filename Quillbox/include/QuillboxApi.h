#pragma once
// The upgrade library's four exports, for callers that bind it by name
// (dlopen "QUILLBOX.DLL" + dlsym). C linkage, the platform's C calling
// convention. Texts are NUL-terminated 8-bit strings owned by the caller
// (the library copies them on entry), except the last-error text, which the
// library owns and keeps valid until the next Upgrade starts.
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t (*QuillboxUpgradeFn)(const char* host, const char* user, const char* password,
                                     const char* imagePath, int32_t deviceKind, void* ownerWindow);
typedef int32_t (*QuillboxWaitForFileFn)(const char* filePath, uint32_t reserved, void* ownerWindow);
typedef void (*QuillboxGetLastErrorFn)(const char** textOut, int32_t* codeOut);
typedef void (*QuillboxCancelFn)(void);

#ifdef __cplusplus
}
#endif

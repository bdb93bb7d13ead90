#include "explorer/protocol/ErrorTable.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

struct ErrorEntry {
  char text[256];
  int32_t code;
};

// Searched in this order; the first row with the code wins.
ErrorEntry g_errorTable[20] = {
    {"No Error", 0},
    {"Configuration file not found", 404},
    {"Cannot update the configuration when a test release is active", 5344},
    {"Out of memory", 1},
    {"Out of buffer space", 2},
    {"Unable to send UDP request", 3},
    {"Invalid buffer size", 4},
    {"Receive timeout", 5},
    {"Invalid message version", 4993},
    {"Invalid buffer length", 4994},
    {"Invalid operation", 4995},
    {"Quillbox has no network adapters", 4996},
    {"Invalid interface", 4997},
    {"Invalid physical address", 4998},
    {"Invalid password", 5000},
    {"Cannot set specified IP Address", 5002},
    {"Cannot set specified Network Mask", 5003},
    {"Upgrade function not found placeholder", 0x2000},
    {"DLL not found placeholder", 0x2001},
    {"FTP Upgrade not supported by firmware", 0x2002},
};

// Guards the one-time rewrite of the two library rows; afterwards the table
// is only read, so lookups need no lock.
std::once_flag g_placeholdersOnce;

void ReplaceFirst(int32_t code, const char* a, const char* b, const char* c) {
  for (ErrorEntry& e : g_errorTable) {
    if (e.code == code) {
      std::snprintf(e.text, sizeof e.text, "%s%s%s", a, b, c);
      return;
    }
  }
}

void ReplacePlaceholders() {
  // The name under which the upgrade library is loaded.
  const char* library = "QUILLBOX";
  ReplaceFirst(0x2000, "Upgrade function not found in ", library,
               ".DLL");
  ReplaceFirst(0x2001, library, ".DLL", " not found");
}

}  // namespace

std::string ErrorText(int32_t code) {
  std::call_once(g_placeholdersOnce, ReplacePlaceholders);
  char fallback[64];
  std::snprintf(fallback, sizeof fallback, "%s 0x%X", "Unknown Error: ",
                static_cast<uint32_t>(code));
  if (code == -1) return "Unknown error";
  for (const ErrorEntry& e : g_errorTable)
    if (e.code == code) return e.text;
  return fallback;
}

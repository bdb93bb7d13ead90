#include "explorer/protocol/ErrorTable.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "explorer/protocol/DeviceMessages.h"

namespace {

struct ErrorEntry {
  char text[256];
  int32_t code;
};

// Searched in this order; the first row with the code wins.
ErrorEntry g_errorTable[20] = {
    {"No Error", ERR_SUCCESS},
    {"Configuration file not found", ERR_CONFIG_FILE_NOT_FOUND},
    {"Cannot update the configuration when a test release is active", ERR_TEST_RELEASE_ACTIVE},
    {"Out of memory", ERR_OUT_OF_MEMORY},
    {"Out of buffer space", ERR_OUT_OF_BUFFER_SPACE},
    {"Unable to send UDP request", ERR_UDP_SEND_FAILED},
    {"Invalid buffer size", ERR_INVALID_BUFFER_SIZE},
    {"Receive timeout", ERR_RECEIVE_TIMEOUT},
    {"Invalid message version", ERR_INVALID_MESSAGE_VERSION},
    {"Invalid buffer length", ERR_INVALID_BUFFER_LENGTH},
    {"Invalid operation", ERR_INVALID_OPERATION},
    {"Quillbox has no network adapters", ERR_NO_NETWORK_ADAPTERS},
    {"Invalid interface", ERR_INVALID_INTERFACE},
    {"Invalid physical address", ERR_INVALID_PHYSICAL_ADDRESS},
    {"Invalid password", ERR_INVALID_PASSWORD},
    {"Cannot set specified IP Address", ERR_CANNOT_SET_IP},
    {"Cannot set specified Network Mask", ERR_CANNOT_SET_MASK},
    {"Upgrade function not found placeholder", ERR_UPGRADE_FUNCTION_NOT_FOUND},
    {"DLL not found placeholder", ERR_LIBRARY_NOT_FOUND},
    {"FTP Upgrade not supported by firmware", ERR_FTP_UPGRADE_NOT_SUPPORTED},
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
  ReplaceFirst(ERR_UPGRADE_FUNCTION_NOT_FOUND, "Upgrade function not found in ", library,
               ".DLL");
  ReplaceFirst(ERR_LIBRARY_NOT_FOUND, library, ".DLL", " not found");
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

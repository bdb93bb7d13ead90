#include "LibraryState.h"

#include <mutex>

namespace quillbox {
namespace {

// Guards g_current. CancelCurrentOperation calls Cancel while holding it, so
// EndOperation (which takes it too) cannot return while a Cancel is inside.
std::mutex g_operationMutex;
Operation* g_current = nullptr;

// Guards g_lastCode and g_lastText.
std::mutex g_errorMutex;
int32_t g_lastCode = 0;
std::string g_lastText;

}  // namespace

bool BeginOperation(Operation* op) {
  std::lock_guard lock(g_operationMutex);
  if (g_current != nullptr || op == nullptr) return false;
  g_current = op;
  return true;
}

void EndOperation(Operation* op) {
  std::lock_guard lock(g_operationMutex);
  if (g_current == op) g_current = nullptr;
}

void CancelCurrentOperation() {
  std::lock_guard lock(g_operationMutex);
  if (g_current) g_current->Cancel();
}

void SetLastError(int32_t code, std::string_view text) noexcept {
  std::lock_guard lock(g_errorMutex);
  g_lastCode = code;
  try {
    g_lastText.assign(text);
  } catch (...) {
    // Called from the exports' last catch, so it may not throw itself. The
    // cleared string keeps at least its built-in room, which this fits.
    g_lastText.clear();
    g_lastText.append(LAST_ERROR_NO_MEMORY_SHORT);
  }
}

void GetLastErrorState(const char** textOut, int32_t* codeOut) {
  std::lock_guard lock(g_errorMutex);
  if (codeOut) *codeOut = g_lastCode;
  // The string object itself lives as long as the library, so c_str() is
  // never null and stays valid until the next SetLastError.
  if (textOut) *textOut = g_lastText.c_str();
}

}  // namespace quillbox

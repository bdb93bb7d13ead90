// The library's C exports (WaitForFile lives with the TFTP server).
#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "LibraryState.h"
#include "QuillboxApi.h"
#include "TFTPClientForm.h"

#define QUILLBOX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string Copy(const char* text) { return text ? std::string(text) : std::string(); }

// Unregisters the session even when the run ends abnormally; EndOperation
// waits out a Cancel that is inside it, so the session may be destroyed next.
struct OperationScope {
  quillbox::Operation* op;
  ~OperationScope() { quillbox::EndOperation(op); }
};

}  // namespace

QUILLBOX_EXPORT int32_t Upgrade(const char* host, const char* user, const char* password,
                                const char* imagePath, int32_t deviceKind, void* ownerWindow) {
  (void)ownerWindow;
  try {
    auto session = std::make_unique<quillbox::TFTPClientForm>(
        Copy(host), Copy(user), Copy(password), Copy(imagePath), deviceKind);
    if (!quillbox::BeginOperation(session.get())) return 1;
    OperationScope scope{session.get()};
    session->RunSession();
  } catch (const abi::__forced_unwind&) {
    throw;  // a thread being cancelled must unwind
  } catch (const std::bad_alloc&) {
    quillbox::SetLastError(5, "Not enough memory");
  } catch (const std::exception& e) {
    quillbox::SetLastError(5, e.what());
  } catch (...) {
    quillbox::SetLastError(5, "Unexpected failure");
  }
  return 1;
}

QUILLBOX_EXPORT void GetLastError(const char** textOut, int32_t* codeOut) {
  quillbox::GetLastErrorState(textOut, codeOut);
}

QUILLBOX_EXPORT void Cancel(void) {
  try {
    quillbox::CancelCurrentOperation();
  } catch (...) {
    // Nothing may leave an export; a cancel that failed changes nothing.
  }
}

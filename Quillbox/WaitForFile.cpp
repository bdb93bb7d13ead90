// The TFTP wait export: lets a device fetch a file from this computer.
#include <cxxabi.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>

#include "LibraryState.h"
#include "QuillboxApi.h"
#include "TtftpForm.h"

namespace {

// Owner of the library's own windows; a wait makes its caller's window the
// owner for its length.
std::atomic<void*> g_ownerWindow{nullptr};

// Leaves the single-operation guard and restores the owner, also when the
// wait ends abnormally.
class WaitRegistration {
 public:
  WaitRegistration(quillbox::Operation* op, void* owner) : op_(op), savedOwner_(g_ownerWindow.exchange(owner)) {}
  ~WaitRegistration() {
    g_ownerWindow = savedOwner_;
    quillbox::EndOperation(op_);
  }
  WaitRegistration(const WaitRegistration&) = delete;
  WaitRegistration& operator=(const WaitRegistration&) = delete;

 private:
  quillbox::Operation* op_;
  void* savedOwner_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t WaitForFile(const char* filePath, uint32_t reserved,
                                                                       void* ownerWindow) {
  (void)reserved;
  try {
    quillbox::TtftpForm form(ownerWindow, filePath ? std::string(filePath) : std::string(),
                             quillbox::WaitSettings());
    if (!quillbox::BeginOperation(&form)) return 0;
    // Declared after the form, so it unregisters before the form goes away.
    WaitRegistration registration(&form, ownerWindow);
    form.Create();
    return form.ShowModal();
  } catch (const abi::__forced_unwind&) {
    throw;  // a thread being cancelled must unwind
  } catch (...) {
    return 0;  // nothing else escapes an export, of whatever kind
  }
}

#pragma once
// Library-wide state: the single-operation guard shared by the FTP upgrade
// session and the TFTP wait, and the last error of the most recent Upgrade.
#include <cstdint>
#include <string>
#include <string_view>

namespace quillbox {

// An operation that Cancel can reach while it is registered.
class Operation {
 public:
  virtual ~Operation() = default;
  // Called from another thread; must return at once.
  virtual void Cancel() = 0;
};

// Registers op as the current operation; false (and nothing registered)
// when another operation is running.
bool BeginOperation(Operation* op);
// Unregisters op. Returns only when no Cancel call is still inside op, so
// op may be destroyed right after.
void EndOperation(Operation* op);
// Cancel of the current operation, if any. Never reaches an operation after
// its EndOperation has returned.
void CancelCurrentOperation();

// Last error of the most recent Upgrade that was not refused. Never throws:
// when even the text cannot be kept, the error reads
// LAST_ERROR_NO_MEMORY_SHORT (short enough to need no allocation).
constexpr const char* LAST_ERROR_NO_MEMORY_SHORT = "Out of memory";
void SetLastError(int32_t code, std::string_view text) noexcept;
void GetLastErrorState(const char** textOut, int32_t* codeOut);

}  // namespace quillbox

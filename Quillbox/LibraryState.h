#pragma once
// Library-wide state: the single-operation guard shared by the FTP upgrade
// session and the TFTP wait, and the last error of the most recent Upgrade.
#include <cstdint>
#include <string>

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

// Last error of the most recent Upgrade that was not refused.
void SetLastError(int32_t code, const std::string& text);
void GetLastErrorState(const char** textOut, int32_t* codeOut);

}  // namespace quillbox

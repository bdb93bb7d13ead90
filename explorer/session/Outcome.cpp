#include "explorer/session/Outcome.h"

#include <system_error>

#include "explorer/operations/HttpClient.h"
#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/ErrorTable.h"

namespace {

std::string ClosedText(int32_t kind) {
  if (kind == OPERATION_UPGRADE)
    return "The upgrade did not complete (the device closed the connection or did not come back "
           "in time)";
  return "The operation was canceled";
}

std::string FailureText(const OperationEnd& end) {
  if (!end.errorText.empty()) return end.errorText;
  // The upgrade library leaves no text for a socket failure before the
  // device said a word: its code is the system's.
  if (end.kind == OPERATION_UPGRADE) return std::system_category().message(end.run.result);
  return ErrorText(end.run.result);
}

}  // namespace

Outcome OutcomeOf(const OperationEnd& end) {
  Outcome out;
  out.code = end.run.result;
  out.reportedText = end.errorText;
  if (out.code == 0) {
    out.kind = OutcomeKind::Success;
    out.text = OPERATION_SUCCESS_TEXT;
  } else if (end.run.cause == EndCause::Cancelled) {
    out.kind = OutcomeKind::Cancelled;
    out.text = "Interrupted: " + end.leftBehind;
  } else if (end.run.cause == EndCause::Deadline) {
    out.kind = OutcomeKind::TimedOut;
    out.text = "Timed out after " + std::to_string(end.budgetSeconds) + " s: " + end.leftBehind;
  } else if (out.code == 401 || out.code == HTTP_ERROR_INCORRECT_PASSWORD) {
    out.kind = OutcomeKind::WrongPassword;
    // A 401 carries the status text ("Unknown Error", or the upload's "not
    // supported"), which would hide what happened.
    out.text = out.code == 401 || end.errorText.empty() ? ErrorText(ERR_INVALID_PASSWORD) : end.errorText;
  } else if (out.code == HTTP_ERROR_CANCELLED) {
    out.kind = OutcomeKind::Closed;
    out.text = end.errorText.empty() ? ClosedText(end.kind) : end.errorText;
  } else {
    out.kind = OutcomeKind::Failed;
    out.text = FailureText(end);
  }
  return out;
}

#pragma once
// What an operation's result means, once for every front-end: the window
// shows it as its message box (or its password prompt), explorerctl as its
// text and exit status.
#include <cstdint>
#include <string>

#include "explorer/session/Operations.h"

enum class OutcomeKind {
  Success,
  WrongPassword,
  Cancelled,  // this side cancelled (Cancel, Ctrl-C)
  TimedOut,   // this side cancelled at the end of the budget
  Closed,     // it ended as a cancel does with no cancel from here: the connection closed
  Failed,
};

struct Outcome {
  OutcomeKind kind = OutcomeKind::Failed;
  int32_t code = 0;
  std::string text;  // what the user is told; never empty
  // The operation's own words as they came, "" when it left none: the
  // window's failure box shows these even when empty, a terminal line says
  // `text`.
  std::string reportedText;
};

constexpr const char* OPERATION_SUCCESS_TEXT = "Operation completed successfully";

struct OperationEnd {
  int32_t kind = OPERATION_UPLOAD;  // OPERATION_*
  RunEnd run;
  std::string errorText;  // the worker's, "" when it left none
  int budgetSeconds = 0;  // said by a timeout
  // What a cancel left behind ("the upload was cancelled"), said after
  // the cause.
  std::string leftBehind;
};

Outcome OutcomeOf(const OperationEnd& end);

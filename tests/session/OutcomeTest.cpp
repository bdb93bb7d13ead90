// How a result becomes what the user is told, and the budgets and texts
// both front-ends take from one place.
#include <gtest/gtest.h>

#include <string>
#include <system_error>

#include "explorer/ctl/DeviceCommands.h"
#include "explorer/operations/HttpClient.h"
#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/ErrorTable.h"
#include "explorer/session/Outcome.h"
#include "explorer/upgrade/UpgradeWorker.h"

namespace {

OperationEnd End(int32_t kind, int32_t result, std::string errorText = "",
                 EndCause cause = EndCause::None) {
  OperationEnd end;
  end.kind = kind;
  end.run.result = result;
  end.run.cause = cause;
  end.errorText = std::move(errorText);
  end.budgetSeconds = 40;
  end.leftBehind = "out.cfg was left as it was";
  return end;
}

TEST(Outcome, SuccessWinsOverALateCancel) {
  // The worker finished before the cancel reached it: the file is whole.
  for (EndCause cause : {EndCause::None, EndCause::Cancelled, EndCause::Deadline}) {
    const Outcome o = OutcomeOf(End(OPERATION_RETRIEVE, 0, "", cause));
    EXPECT_EQ(o.kind, OutcomeKind::Success);
    EXPECT_EQ(o.text, "Operation completed successfully");
    EXPECT_EQ(o.code, 0);
  }
}

TEST(Outcome, ACancelFromThisSideIsSaidAsSuchWhateverTheResult) {
  // A cancel ends a transfer with whatever the worker was doing: even a
  // refused password is not what happened.
  for (int32_t result : {HTTP_ERROR_CANCELLED, HTTP_ERROR_INCORRECT_PASSWORD, 5}) {
    const Outcome cancelled = OutcomeOf(End(OPERATION_RETRIEVE, result, "x", EndCause::Cancelled));
    EXPECT_EQ(cancelled.kind, OutcomeKind::Cancelled);
    EXPECT_EQ(cancelled.text, "Interrupted: out.cfg was left as it was");
    EXPECT_EQ(cancelled.code, result);
    const Outcome late = OutcomeOf(End(OPERATION_RETRIEVE, result, "x", EndCause::Deadline));
    EXPECT_EQ(late.kind, OutcomeKind::TimedOut);
    EXPECT_EQ(late.text, "Timed out after 40 s: out.cfg was left as it was");
  }
}

TEST(Outcome, ARefusedPasswordReadsAsOneWhereverItCameFrom) {
  // 401's own status text would hide the cause; the library's and the
  // HTTP layer's 12014 keep a text they were given.
  const std::string invalid = ErrorText(ERR_INVALID_PASSWORD);
  const Outcome http401 = OutcomeOf(End(OPERATION_UPLOAD, 401, "Unknown Error"));
  EXPECT_EQ(http401.kind, OutcomeKind::WrongPassword);
  EXPECT_EQ(http401.text, invalid);
  const Outcome bare = OutcomeOf(End(OPERATION_RETRIEVE, HTTP_ERROR_INCORRECT_PASSWORD));
  EXPECT_EQ(bare.kind, OutcomeKind::WrongPassword);
  EXPECT_EQ(bare.text, invalid);
  const Outcome library = OutcomeOf(End(OPERATION_UPGRADE, UPGRADE_LOGIN_INCORRECT, "530 Login incorrect"));
  EXPECT_EQ(library.kind, OutcomeKind::WrongPassword);
  EXPECT_EQ(library.text, "530 Login incorrect");
}

TEST(Outcome, AnEndLikeACancelThatNobodyAskedForIsAClosedConnection) {
  const Outcome transfer = OutcomeOf(End(OPERATION_UPLOAD, HTTP_ERROR_CANCELLED));
  EXPECT_EQ(transfer.kind, OutcomeKind::Closed);
  EXPECT_EQ(transfer.text, "The operation was canceled");
  const Outcome upgrade = OutcomeOf(End(OPERATION_UPGRADE, UPGRADE_CANCELLED));
  EXPECT_EQ(upgrade.kind, OutcomeKind::Closed);
  EXPECT_EQ(upgrade.text,
            "The upgrade did not complete (the device closed the connection or did not come back "
            "in time)");
  const Outcome told = OutcomeOf(End(OPERATION_UPGRADE, UPGRADE_CANCELLED, "Device went away"));
  EXPECT_EQ(told.text, "Device went away");
}

TEST(Outcome, AFailureAlwaysSaysSomethingAndKeepsWhatTheOperationSaid) {
  const Outcome worker = OutcomeOf(End(OPERATION_UPLOAD, 5344, "the worker's words"));
  EXPECT_EQ(worker.kind, OutcomeKind::Failed);
  EXPECT_EQ(worker.text, "the worker's words");
  EXPECT_EQ(worker.reportedText, "the worker's words");
  // Without the worker's words: the error table's for a device code, the
  // system's for the upgrade library's socket errors.
  const Outcome table = OutcomeOf(End(OPERATION_UPLOAD, ERR_TEST_RELEASE_ACTIVE));
  EXPECT_EQ(table.text, "Cannot update the configuration when a test release is active");
  const Outcome socket = OutcomeOf(End(OPERATION_UPGRADE, 111));
  EXPECT_EQ(socket.kind, OutcomeKind::Failed);
  EXPECT_EQ(socket.text, std::system_category().message(111));
  EXPECT_FALSE(socket.text.empty());
  EXPECT_EQ(socket.reportedText, "");
}

TEST(Budgets, TheCommandLineWaitsAsLongAsTheWindowCountsDown) {
  EXPECT_EQ(OperationBudgetMs(OPERATION_RETRIEVE), 40000);
  EXPECT_EQ(OperationBudgetMs(OPERATION_UPLOAD), 10000);
  EXPECT_EQ(OperationBudgetMs(OPERATION_UPGRADE), UPGRADE_BUSY_MS);
  EXPECT_EQ(ctl::RETRIEVE_TIMEOUT_S * 1000, OperationBudgetMs(OPERATION_RETRIEVE));
  EXPECT_EQ(ctl::UPLOAD_TIMEOUT_S * 1000, OperationBudgetMs(OPERATION_UPLOAD));
  EXPECT_EQ(ctl::UPGRADE_TIMEOUT_S * 1000, OperationBudgetMs(OPERATION_UPGRADE));
}

TEST(StatusTexts, OnlyTheUpgradeNamesItsDevice) {
  const std::string mac = "00:20:4A:01:02:03";
  EXPECT_EQ(OperationStatusText(OPERATION_RETRIEVE, mac), "Retrieving configuration file");
  EXPECT_EQ(OperationStatusText(OPERATION_UPLOAD, mac), "Setting configuration file");
  EXPECT_EQ(OperationStatusText(OPERATION_UPGRADE, mac), "Upgrading 00:20:4A:01:02:03");
}

}  // namespace

#pragma once
// Special files (pipes, device nodes, set-user-ID files) are made only in a
// mount namespace of the test's own, on a tmpfs nobody else sees, so that a
// fault can never reach the host's /dev or files. The test runs again in a
// child process that has its own mount namespace (the network namespace is
// the same) and mounts a tmpfs on a fresh folder; the parent waits for the
// child (bounded), records its verdict and removes the folder.
//
//   TEST_F(StoreTest, SpecialFiles) {
//     std::string dir;
//     QUILL_IN_PRIVATE_MOUNT(dir);  // the parent returns here with the child's verdict
//     ... dir is a tmpfs that only this process and its children see
//   }
#include <gtest/gtest.h>

#include <string>

namespace testsupport {

enum class MountSide { Child, ParentDone, Unavailable };

// Child: *dir is the tmpfs folder. ParentDone: the child ran the test (a
// failure of it is already recorded). Unavailable: *why says why.
MountSide EnterPrivateMount(std::string* dir, std::string* why);

}  // namespace testsupport

#define QUILL_IN_PRIVATE_MOUNT(dir)                                                 \
  do {                                                                              \
    std::string quill_mount_why_;                                                   \
    const testsupport::MountSide quill_side_ =                                      \
        testsupport::EnterPrivateMount(&(dir), &quill_mount_why_);                  \
    if (quill_side_ == testsupport::MountSide::ParentDone) return;                  \
    if (quill_side_ == testsupport::MountSide::Unavailable)                         \
      GTEST_SKIP() << "private mount namespace required: " << quill_mount_why_;     \
  } while (0)

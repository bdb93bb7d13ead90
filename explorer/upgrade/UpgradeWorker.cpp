#include "explorer/upgrade/UpgradeWorker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "explorer/operations/ConfigTransfer.h"
#include "explorer/operations/Quillbox.h"
#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/ErrorTable.h"
#include "explorer/upgrade/UpgradeLibrary.h"

int32_t UpgradeWorker(CQuillbox& q) {
  const UpgradeLibraryBinding& lib = UpgradeLibrary();
  if (!lib.Upgrade || !lib.GetLastError) {
    q.errorText = ErrorText(ERR_UPGRADE_FUNCTION_NOT_FOUND);
    return ERR_UPGRADE_FUNCTION_NOT_FOUND;
  }
  const std::string host = FormatIp(q.record ? q.record->ip() : 0);
  const std::string user = AdministratorUser();
  const int32_t kind = static_cast<int16_t>(q.record ? q.record->kind() : 0);
  // The library's windows have no owner here: it shows none of its own.
  int32_t result = lib.Upgrade(host.c_str(), user.c_str(), q.password.c_str(),
                               q.firmwarePath.c_str(), kind, nullptr);
  // The library answers 1 for every outcome; its code tells which.
  if (result == 0) return 0;
  const char* text = nullptr;
  int32_t code = 0;
  lib.GetLastError(&text, &code);
  // The library's own words, as they are: also none at all, which is what
  // a device that never answered leaves.
  q.errorText = text ? text : "";
  return code;
}

bool ImageCanBeOpened(const std::string& path) {
  struct File {
    int fd;
    ~File() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
  if (file.fd < 0) return false;
  struct stat st {};
  // A folder opens too; only a regular file is an image.
  return ::fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode);
}

std::string ImageOpenFailureText(const std::string& path) { return "Cannot open file " + path; }

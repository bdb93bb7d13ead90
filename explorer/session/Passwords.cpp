#include "explorer/session/Passwords.h"

#include "explorer/operations/Quillbox.h"
#include "explorer/res/Strings.h"

std::string SessionPassword(const std::optional<std::string>& given) {
  return given ? *given : LoadBrandString(IDS_DEFAULT_PASSWORD);
}

bool ReplaceRefusedPassword(CQuillbox& q, const std::optional<std::string>& typed) {
  if (!typed) return false;
  q.password = *typed;
  return true;
}

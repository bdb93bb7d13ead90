#pragma once
// The session's password for a device. The user gives one for the session
// (explorerctl: its file, prompt or environment; the window: its prompt
// after a refusal); until then a device is tried with the family's default
// password, as every device object starts with. The window remembers a
// typed password in that device's object, so it is forgotten with it.
#include <optional>
#include <string>

class CQuillbox;

// The password to try: the one given for this session, else the family's default.
std::string SessionPassword(const std::optional<std::string>& given);

// The device refused its password and the user was asked for another:
// what was typed replaces it, and the operation is to be tried again
// (true); a dismissed prompt keeps the old one and nothing is retried.
bool ReplaceRefusedPassword(CQuillbox& q, const std::optional<std::string>& typed);

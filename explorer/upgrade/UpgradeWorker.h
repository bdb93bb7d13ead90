#pragma once
// The firmware upgrade as an operation of the queue: one blocking call of the
// upgrade library on the worker thread.
#include <cstdint>

class CQuillbox;

// Library outcomes the completion handles without the library's text.
constexpr int32_t UPGRADE_LOGIN_INCORRECT = 12014;
constexpr int32_t UPGRADE_CANCELLED = 12017;
constexpr int32_t UPGRADE_BUSY_MS = 300000;

// Calls the bound Upgrade for q's device and image; on failure reads the
// library's code and text (q.errorText). Returns the code.
int32_t UpgradeWorker(CQuillbox& q);

#pragma once
// The firmware upgrade as an operation of the queue: one blocking call of the
// upgrade library on the worker thread.
#include <cstdint>
#include <string>

class CQuillbox;

// Library outcomes the completion handles without the library's text.
constexpr int32_t UPGRADE_LOGIN_INCORRECT = 12014;
constexpr int32_t UPGRADE_CANCELLED = 12017;
constexpr int32_t UPGRADE_BUSY_MS = 300000;

// Calls the bound Upgrade for q's device and image; on failure reads the
// library's code and text (q.errorText). Returns the code.
int32_t UpgradeWorker(CQuillbox& q);

// Whether the library will be able to open `path` as the image: a regular
// file this process can read. Opened without blocking, so a FIFO does not
// hold the caller; nothing is read.
bool ImageCanBeOpened(const std::string& path);
// The library's own text when it cannot: "Cannot open file " + path.
std::string ImageOpenFailureText(const std::string& path);

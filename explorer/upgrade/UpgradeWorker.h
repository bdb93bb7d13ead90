#pragma once
// The firmware upgrade as an operation of the queue: one blocking call of the
// upgrade library on the worker thread.
#include <cstdint>
#include <string>

#include "explorer/operations/HttpClient.h"

class CQuillbox;

// Library outcomes the completion handles without the library's text. The
// library reports them with the HTTP layer's numbers, so one reading of a
// result serves every operation.
constexpr int32_t UPGRADE_LOGIN_INCORRECT = HTTP_ERROR_INCORRECT_PASSWORD;
constexpr int32_t UPGRADE_CANCELLED = HTTP_ERROR_CANCELLED;
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

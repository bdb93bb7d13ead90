#pragma once
// The per-device object behind each row of the device list.
#include <memory>
#include <mutex>
#include <string>

#include "explorer/operations/DeviceOperation.h"
#include "explorer/operations/HttpClient.h"
#include "explorer/protocol/DeviceMessages.h"

class CQuillbox {
 public:
  CQuillbox();
  ~CQuillbox();
  CQuillbox(const CQuillbox&) = delete;
  CQuillbox& operator=(const CQuillbox&) = delete;

  static constexpr const char* kClassName = "CQuillbox";

  std::unique_ptr<DeviceRecord> record;     // owned; none until the list sets it
  std::recursive_mutex lock;                // guards `request` between worker and UI thread
  HttpClient httpClient;                    // user agent: device name + " manager"
  std::shared_ptr<HttpRequest> request;     // the running transfer's request, or none
  std::unique_ptr<DeviceOperation> operation;  // running or waiting operation, or none
  std::string password;                     // starts as the family's default password
  std::string configPath;
  std::string firmwarePath;
  std::string errorText;
};

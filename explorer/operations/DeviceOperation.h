#pragma once
#include <cstdint>

class CQuillbox;

// Receives a worker's report. PostOperationDone is called on the worker
// thread as its very last act and must only queue the report for the
// user-interface thread.
class OperationOwner {
 public:
  virtual ~OperationOwner() = default;
  virtual void PostOperationDone(int32_t result, CQuillbox* q) = 0;
};

constexpr int32_t OPERATION_UPLOAD = 0;
constexpr int32_t OPERATION_RETRIEVE = 1;
constexpr int32_t OPERATION_UPGRADE = 2;

struct DeviceOperation {
  int32_t kind = OPERATION_UPLOAD;
  OperationOwner* owner = nullptr;
};

#pragma once
// Run-time binding of the upgrade library ("QUILLBOX.DLL").
#include <cstdint>

#include "QuillboxApi.h"

struct UpgradeLibraryBinding {
  void* handle = nullptr;
  QuillboxUpgradeFn Upgrade = nullptr;
  QuillboxGetLastErrorFn GetLastError = nullptr;
  QuillboxCancelFn Cancel = nullptr;
  QuillboxWaitForFileFn WaitForFile = nullptr;
};

// 0, ERR_LIBRARY_NOT_FOUND (0x2001) or ERR_UPGRADE_FUNCTION_NOT_FOUND (0x2000).
int32_t BindUpgradeLibrary();
void ReleaseUpgradeLibrary();
// Written only by BindUpgradeLibrary; read by everyone else.
const UpgradeLibraryBinding& UpgradeLibrary();

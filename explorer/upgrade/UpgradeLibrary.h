#pragma once
// Run-time binding of the upgrade library ("QUILLBOX.DLL").
#include <cstdint>
#include <string>
#include <vector>

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

// What both front-ends show for a non-zero status of BindUpgradeLibrary:
// the error table's text, and for a library that could not be loaded the
// folders the loader looked in, in its order: "QUILLBOX.DLL not found
// (looked in /opt/x/bin, /lib/x86_64-linux-gnu, ...)".
std::string BindingFailureText(int32_t status);
// The folders the dynamic loader searches for the library, in its order
// (the library path, the program's RUNPATH, the system's folders).
std::vector<std::string> LibrarySearchFolders();

#pragma once
// The built upgrade library loaded by file name, as the explorer loads it,
// and closed again at the end of the scope. `handle` is null when the load
// failed (dlerror() tells why); an export not found is a null pointer.
#include <dlfcn.h>

#include <string>

#include "Quillbox/include/QuillboxApi.h"

namespace testquillbox {

inline const std::string kLibrary = std::string(QUILL_BIN_DIR) + "/QUILLBOX.DLL";

struct LoadedLibrary {
  void* handle = dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
  ~LoadedLibrary() {
    if (handle) dlclose(handle);
  }
  LoadedLibrary() = default;
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  template <typename Fn>
  Fn Get(const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
  }
  QuillboxUpgradeFn Upgrade = Get<QuillboxUpgradeFn>("Upgrade");
  QuillboxGetLastErrorFn GetLastError = Get<QuillboxGetLastErrorFn>("GetLastError");
  QuillboxCancelFn Cancel = Get<QuillboxCancelFn>("Cancel");
  QuillboxWaitForFileFn WaitForFile = Get<QuillboxWaitForFileFn>("WaitForFile");
};

}  // namespace testquillbox

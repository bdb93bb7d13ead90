#include "explorer/upgrade/UpgradeLibrary.h"

#include <dlfcn.h>

#include "explorer/protocol/DeviceMessages.h"

namespace {

// The one place where the program talks to the dynamic loader.
class LibraryLoader {
 public:
  // A bare name (no folder) lets the loader search the program's RUNPATH
  // ($ORIGIN, i.e. beside the program) and then the library path.
  static void* Load(const char* moduleName) { return dlopen(moduleName, RTLD_NOW | RTLD_LOCAL); }
  static void* Symbol(void* handle, const char* name) { return dlsym(handle, name); }
  static void Release(void* handle) { dlclose(handle); }
};

constexpr const char* kModuleName = "QUILLBOX.DLL";

// Written on the user-interface thread before any worker exists and cleared
// only after the last worker has been joined, so readers need no lock.
UpgradeLibraryBinding g_binding;

template <typename Fn>
Fn Resolve(void* handle, const char* name) {
  return reinterpret_cast<Fn>(LibraryLoader::Symbol(handle, name));
}

}  // namespace

int32_t BindUpgradeLibrary() {
  // Bound once per process: a second call loads nothing again but still
  // reports an incomplete library as such.
  if (!g_binding.handle) {
    g_binding.handle = LibraryLoader::Load(kModuleName);
    if (!g_binding.handle) return ERR_LIBRARY_NOT_FOUND;

    // Every look-up is made, even after a miss, so the record shows them all.
    g_binding.Upgrade = Resolve<QuillboxUpgradeFn>(g_binding.handle, "Upgrade");
    g_binding.GetLastError = Resolve<QuillboxGetLastErrorFn>(g_binding.handle, "GetLastError");
    g_binding.Cancel = Resolve<QuillboxCancelFn>(g_binding.handle, "Cancel");
    g_binding.WaitForFile = Resolve<QuillboxWaitForFileFn>(g_binding.handle, "WaitForFile");
  }

  if (!g_binding.Upgrade || !g_binding.GetLastError || !g_binding.Cancel || !g_binding.WaitForFile)
    return ERR_UPGRADE_FUNCTION_NOT_FOUND;
  return 0;
}

void ReleaseUpgradeLibrary() {
  if (!g_binding.handle) return;
  void* handle = g_binding.handle;
  g_binding = UpgradeLibraryBinding{};
  LibraryLoader::Release(handle);
}

const UpgradeLibraryBinding& UpgradeLibrary() { return g_binding; }

#include "explorer/upgrade/UpgradeLibrary.h"

#include <dlfcn.h>

#include <cstddef>

#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/ErrorTable.h"

namespace {

// The one place where the program talks to the dynamic loader.
class LibraryLoader {
 public:
  // A bare name (no folder) lets the loader search the program's RUNPATH
  // ($ORIGIN, i.e. beside the program) and then the library path.
  static void* Load(const char* moduleName) { return dlopen(moduleName, RTLD_NOW | RTLD_LOCAL); }
  static void* Symbol(void* handle, const char* name) { return dlsym(handle, name); }
  static void Release(void* handle) { dlclose(handle); }
  // The search path of a bare name for code of the program itself, as the
  // loader has worked it out ($ORIGIN already resolved).
  static std::vector<std::string> SearchPath() {
    std::vector<std::string> folders;
    void* self = dlopen(nullptr, RTLD_NOW);
    if (!self) return folders;
    Dl_serinfo size{};
    if (dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
      std::vector<std::max_align_t> buffer(size.dls_size / sizeof(std::max_align_t) + 1);
      auto* info = reinterpret_cast<Dl_serinfo*>(buffer.data());
      info->dls_size = size.dls_size;
      info->dls_cnt = size.dls_cnt;
      if (dlinfo(self, RTLD_DI_SERINFO, info) == 0) {
        for (unsigned i = 0; i < info->dls_cnt; ++i)
          if (info->dls_serpath[i].dls_name) folders.emplace_back(info->dls_serpath[i].dls_name);
      }
    }
    dlclose(self);
    return folders;
  }
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

std::vector<std::string> LibrarySearchFolders() { return LibraryLoader::SearchPath(); }

std::string BindingFailureText(int32_t status) {
  std::string text = ErrorText(status);
  if (status != ERR_LIBRARY_NOT_FOUND) return text;
  const std::vector<std::string> folders = LibrarySearchFolders();
  if (folders.empty()) return text;
  text += " (looked in ";
  for (size_t i = 0; i < folders.size(); ++i) text += (i ? ", " : "") + folders[i];
  return text + ")";
}

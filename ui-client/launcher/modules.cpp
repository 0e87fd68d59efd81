#include "modules.h"

#include <dlfcn.h>

#include "uipathmanager.h"

namespace {

// The folder of libfct-qt.so.1, which the modules lie beside wherever it is (the
// install's lib/, the build tree), found from the library itself: a bare name would be
// searched in the run path of whoever calls dlopen, which under AddressSanitizer (it
// wraps dlopen) is the sanitizer's runtime, not this program.
std::string ModuleFolder() {
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&UIPathManager::getInstance), &info) == 0 || info.dli_fname == nullptr) {
    return std::string();
  }
  const std::string library = info.dli_fname;
  const size_t slash = library.rfind('/');
  return slash == std::string::npos ? std::string() : library.substr(0, slash + 1);
}

}  // namespace

void* ModuleEntry(const char* module, const char* entry, std::string* error) {
  void* handle = ::dlopen((ModuleFolder() + module).c_str(), RTLD_NOW | RTLD_LOCAL);
  void* address = handle ? ::dlsym(handle, entry) : nullptr;
  if (!address) {
    const char* reason = ::dlerror();
    *error = reason ? reason : std::string(module) + ": no " + entry;
  }
  return address;
}

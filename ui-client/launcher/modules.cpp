#include "modules.h"

#include <dlfcn.h>

// Called from the program itself (this library is linked statically), so the loader
// searches the program's run path for the bare file name.
void* ModuleEntry(const char* module, const char* entry, std::string* error) {
  void* handle = ::dlopen(module, RTLD_NOW | RTLD_LOCAL);
  void* address = handle ? ::dlsym(handle, entry) : nullptr;
  if (!address) {
    const char* reason = ::dlerror();
    *error = reason ? reason : std::string(module) + ": no " + entry;
  }
  return address;
}

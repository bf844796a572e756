// dlopen behind the platform library interface.
#include "platform/library.h"

#include <dlfcn.h>

namespace platform {

Library LibraryLoad(const char* fileName) {
  return dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
}

void* LibrarySymbol(Library library, const char* name) {
  return dlsym(library, name);
}

void LibraryUnload(Library library) {
  if (library != nullptr) dlclose(library);
}

}  // namespace platform

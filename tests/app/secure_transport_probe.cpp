// Binds the secure-transport library three times and prints what came back: "bound" or "none",
// whether all three calls gave the same handle, and whether the library is still loaded.
#include <dlfcn.h>

#include <cstdio>

#include "app/startup.h"

int main() {
  platform::Library first = BindSecureTransport();
  platform::Library second = BindSecureTransport();
  platform::Library third = BindSecureTransport();
  void* resident = dlopen(kSecureTransportLibrary, RTLD_NOW | RTLD_NOLOAD);
  printf("%s %s %s\n", first != nullptr ? "bound" : "none",
         first == second && second == third ? "same" : "differ",
         resident != nullptr ? "resident" : "unloaded");
  if (resident != nullptr) dlclose(resident);
  return 0;
}

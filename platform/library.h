// Dynamic libraries: load by file name through the loader's ordinary search, look up entry points.
#pragma once

namespace platform {

using Library = void*;

Library LibraryLoad(const char* fileName);               // nullptr when it cannot be loaded
void* LibrarySymbol(Library library, const char* name);  // nullptr when missing
void LibraryUnload(Library library);

}  // namespace platform

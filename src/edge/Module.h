#pragma once
#include <windows.h>

namespace kestro {

// The codec library's own module (resources, file name); the running program's module when the
// code is linked into a program rather than loaded as the library.
HINSTANCE ModuleHandle();
void SetModuleHandle(HINSTANCE module);

} // namespace kestro

#include "edge/Module.h"

namespace {
HINSTANCE g_module = nullptr;
}

namespace kestro {

HINSTANCE ModuleHandle() {
    return g_module ? g_module : GetModuleHandleA(nullptr);
}

void SetModuleHandle(HINSTANCE module) {
    g_module = module;
}

} // namespace kestro

#include <windows.h>

#include "edge/Module.h"
#include "driver/RuntimeSemaphores.h"
#include "settings/CodecSettings.h"

// Only kernel32 calls happen here (module name, profile reads and writes, version, disk size):
// nothing that loads a library, starts a thread or waits on another one under the loader lock.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH: {
        DisableThreadLibraryCalls(instance);
        kestro::SetModuleHandle(instance);
        char path[MAX_PATH + 1] = {};
        GetModuleFileNameA(instance, path, MAX_PATH);
        TheSettings().LoadSettings(path);
        break;
    }
    case DLL_PROCESS_DETACH:
        TheSettings().SaveSettings();
        // At process exit the system takes every handle back; an unload has to give them.
        if (!reserved)
            kestro::CloseRuntimeSemaphores();
        break;
    }
    return TRUE;
}

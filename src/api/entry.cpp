// Process attach and detach of the shipped library.
#include "frame/library.h"
#include "platform/io_thread.h"
#include "trace/trace.h"

#ifdef _WIN32
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        zs::trace::startFromEnvironment();
        try {
            zs::frame::libraryLoad();
        } catch (...) {
            return FALSE; // an allocation failure ends the load
        }
        break;
    case DLL_PROCESS_DETACH:
        // At process exit other threads are already gone and the system reclaims everything.
        // On FreeLibrary every thread of the library has already left its code (each holds
        // the module until it exits), so nothing here waits for one.
        if (reserved == nullptr) {
            zs::platform::releaseThreadsWithoutWaiting();
            zs::frame::libraryUnload(true);
            zs::trace::stop();
        }
        break;
    default:
        break;
    }
    return TRUE;
}

#else

__attribute__((constructor)) static void zsLibraryAttach() {
    zs::trace::startFromEnvironment();
    zs::frame::libraryLoad();
}
__attribute__((destructor)) static void zsLibraryDetach() {
    zs::frame::libraryUnload();
    zs::trace::stop();
}

#endif

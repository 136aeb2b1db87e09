#include "sim_library_folder.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

// This driver's own folder, where the description source of the instruments lies.
std::filesystem::path zs::sim::simLibraryFolder() {
#ifdef _WIN32
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&zs::sim::simLibraryFolder), &module);
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, MAX_PATH);
    return std::filesystem::path(path).parent_path();
#else
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&zs::sim::simLibraryFolder), &info);
    return std::filesystem::path(info.dli_fname ? info.dli_fname : ".").parent_path();
#endif
}

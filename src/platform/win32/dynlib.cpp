#include "platform/dynlib.h"

#include <windows.h>

namespace zs::platform {

std::unique_ptr<DynamicLibrary> DynamicLibrary::open(const std::filesystem::path& path) {
    HMODULE h = LoadLibraryW(path.c_str());
    if (!h) return nullptr;
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(h));
}

DynamicLibrary::~DynamicLibrary() {
    if (handle_ && !keep_) FreeLibrary(static_cast<HMODULE>(handle_));
}

void* DynamicLibrary::symbol(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::unique_ptr<DynamicLibrary> openVendorLibrary(const char* fileName) {
    // The system's search order starts with the host's folder, as the vendors intend.
    return DynamicLibrary::open(fileName);
}

std::filesystem::path ownModuleDirectory() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ownModuleDirectory), &self);
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(self, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::filesystem::current_path();
        if (n < buffer.size()) {
            buffer.resize(n);
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    return std::filesystem::path(buffer).parent_path();
}

} // namespace zs::platform

#include "platform/dynlib.h"

#include <dlfcn.h>

namespace zs::platform {

std::unique_ptr<DynamicLibrary> DynamicLibrary::open(const std::filesystem::path& path) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) return nullptr;
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(h));
}

DynamicLibrary::~DynamicLibrary() {
    if (handle_ && !keep_) dlclose(handle_);
}

void* DynamicLibrary::symbol(const char* name) const {
    return dlsym(handle_, name);
}

std::unique_ptr<DynamicLibrary> openVendorLibrary(const char* fileName) {
    const auto local = ownModuleDirectory() / fileName;
    std::error_code ec;
    if (std::filesystem::exists(local, ec)) {
        if (auto lib = DynamicLibrary::open(local)) return lib;
    }
    return DynamicLibrary::open(fileName);
}

std::filesystem::path ownModuleDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ownModuleDirectory), &info) && info.dli_fname) {
        std::error_code ec;
        auto p = std::filesystem::canonical(info.dli_fname, ec);
        if (ec) p = std::filesystem::absolute(info.dli_fname, ec);
        return p.parent_path();
    }
    return std::filesystem::current_path();
}

} // namespace zs::platform

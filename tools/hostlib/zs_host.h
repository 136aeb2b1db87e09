#pragma once
// Loads the shipped library by name and looks its exports up by name, as a host program
// does. Used by zsig and by the end-to-end tests.
#include "zentrel_signal.h"

#include <stdexcept>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace zs::host {

#ifdef _WIN32
inline constexpr const char* kLibraryName = "ZentrelSignal.dll";
#else
inline constexpr const char* kLibraryName = "libZentrelSignal.so";
#endif

class Library {
  public:
    // `path` empty: the name alone, found by the system's search order (on Linux the
    // program's own folder is tried first, as Windows does).
    explicit Library(std::string path = {}) {
        if (path.empty()) path = kLibraryName;
#ifdef _WIN32
        handle_ = LoadLibraryA(path.c_str());
#else
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_ && path.find('/') == std::string::npos)
            handle_ = dlopen((programDirectory() + "/" + path).c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
        if (!handle_) throw std::runtime_error("cannot load " + path);
    }
    ~Library() {
#ifdef _WIN32
        FreeLibrary(static_cast<HMODULE>(handle_));
#else
        dlclose(handle_);
#endif
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    void* symbol(const char* name) const {
#ifdef _WIN32
        return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
        return dlsym(handle_, name);
#endif
    }

    // The export `name`, typed as the header declares it.
    template <class Fn>
    Fn get(const char* name) const {
        void* p = symbol(name);
        if (!p) throw std::runtime_error(std::string("missing export ") + name);
        return reinterpret_cast<Fn>(p);
    }

    // The folder the library was loaded from, where its description file lies.
    std::string directory() const {
#ifdef _WIN32
        char buffer[MAX_PATH];
        const DWORD n = GetModuleFileNameA(static_cast<HMODULE>(handle_), buffer, MAX_PATH);
        std::string p(buffer, n);
#else
        Dl_info info{};
        std::string p;
        if (void* any = symbol("K427_GetLibraryVersion");
            any && dladdr(any, &info) && info.dli_fname)
            p = info.dli_fname;
#endif
        const auto slash = p.find_last_of("/\\");
        return slash == std::string::npos ? "." : p.substr(0, slash);
    }

    static std::string programDirectory() {
#ifdef _WIN32
        char buffer[MAX_PATH];
        const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
        std::string p(buffer, n);
#else
        char buffer[4096];
        const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        std::string p(buffer, n > 0 ? static_cast<size_t>(n) : 0);
#endif
        const auto slash = p.find_last_of("/\\");
        return slash == std::string::npos ? "." : p.substr(0, slash);
    }

  private:
    void* handle_ = nullptr;
};

#define ZS_HOST_GET(lib, name) (lib).get<decltype(&name)>(#name)

} // namespace zs::host

#pragma once
#include <filesystem>
#include <memory>
#include <string>

namespace zs::platform {

// A shared library bound by name at run time. A missing library is not an error for the
// callers: open() returns null and the feature is absent.
class DynamicLibrary {
  public:
    static std::unique_ptr<DynamicLibrary> open(const std::filesystem::path& path);
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    void* symbol(const char* name) const;
    // Sets `out` to the function `name`; false when the library has none.
    template <class Fn>
    bool bind(const char* name, Fn& out) const {
        out = reinterpret_cast<Fn>(symbol(name));
        return out != nullptr;
    }
    // Keep the module mapped for the rest of the process (vendor drivers are never unloaded).
    void keepLoaded() { keep_ = true; }

  private:
    explicit DynamicLibrary(void* handle) : handle_(handle) {}
    void* handle_;
    bool keep_ = false;
};

// Opens a vendor library: on Linux the directory of this library first, then the system's
// search path; on Windows the system's search order (which starts with the application).
std::unique_ptr<DynamicLibrary> openVendorLibrary(const char* fileName);

// The folder of the module (shared library or program) that contains this code.
std::filesystem::path ownModuleDirectory();

} // namespace zs::platform

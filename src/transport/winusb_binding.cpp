#include "transport/winusb_binding.h"

#include "platform/dynlib.h"

#include <atomic>
#include <list>
#include <mutex>

#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <setupapi.h> // needs windows.h first
// clang-format on
#else
#include "transport/linux/libusb.h"
#endif

namespace zs::transport {
namespace {

#ifdef _WIN32
GUID toGuid(const InterfaceClassGuid& g) {
    GUID r;
    r.Data1 = g.data1;
    r.Data2 = g.data2;
    r.Data3 = g.data3;
    for (int i = 0; i < 8; ++i) r.Data4[i] = g.data4[i];
    return r;
}

struct InterfaceSet {
    HDEVINFO info;
    GUID guid;
};

void* openSet(const InterfaceClassGuid& cls) {
    const GUID guid = toGuid(cls);
    // Present devices that expose the interface (0x12).
    HDEVINFO info =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (info == INVALID_HANDLE_VALUE) return nullptr;
    return new InterfaceSet{info, guid};
}

// The detail's size field is what the system checks: 6 on 32-bit Windows (packed), 8 on 64-bit.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == (sizeof(void*) == 8 ? 8 : 6));

uint32_t interfacePath(void* set, uint32_t index, std::u16string* path) {
    auto* s = static_cast<InterfaceSet*>(set);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(s->info, nullptr, &s->guid, index, &data)) {
        const DWORD e = GetLastError();
        return e == ERROR_NO_MORE_ITEMS ? kNoMoreItems : (e ? e : 1);
    }
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(s->info, &data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return 1;
    std::string storage(size, '\0');
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(s->info, &data, detail, size, nullptr, nullptr))
        return GetLastError() ? GetLastError() : 1;
    if (path) path->assign(reinterpret_cast<const char16_t*>(detail->DevicePath));
    return 0;
}

void closeSet(void* set) {
    auto* s = static_cast<InterfaceSet*>(set);
    SetupDiDestroyDeviceInfoList(s->info);
    delete s;
}

void* openFile(const std::u16string& path) {
    HANDLE h =
        CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    return h;
}

void closeFile(void* file) {
    CloseHandle(file);
}

WinUsbApi bindSystem() {
    WinUsbApi api;
    api.openInterfaceSet = openSet;
    api.interfacePath = interfacePath;
    api.closeInterfaceSet = closeSet;
    api.openFile = openFile;
    api.closeFile = closeFile;
    auto lib = platform::DynamicLibrary::open("winusb.dll");
    if (!lib) return api;
    lib->keepLoaded(); // bound once per process and never unloaded
    // The order of the look-ups is the order in which a missing entry point stops binding.
    WinUsbApi six;
    if (!(six.free = reinterpret_cast<WinUsbApi::Free>(lib->symbol("WinUsb_Free")))) return api;
    if (!(six.initialize =
              reinterpret_cast<WinUsbApi::Initialize>(lib->symbol("WinUsb_Initialize"))))
        return api;
    if (!(six.readPipe = reinterpret_cast<WinUsbApi::Pipe>(lib->symbol("WinUsb_ReadPipe"))))
        return api;
    if (!(six.overlappedResult = reinterpret_cast<WinUsbApi::OverlappedResult>(
              lib->symbol("WinUsb_GetOverlappedResult"))))
        return api;
    if (!(six.writePipe = reinterpret_cast<WinUsbApi::Pipe>(lib->symbol("WinUsb_WritePipe"))))
        return api;
    if (!(six.queryPipe = reinterpret_cast<WinUsbApi::QueryPipe>(lib->symbol("WinUsb_QueryPipe"))))
        return api;
    api.free = six.free;
    api.initialize = six.initialize;
    api.readPipe = six.readPipe;
    api.overlappedResult = six.overlappedResult;
    api.writePipe = six.writePipe;
    api.queryPipe = six.queryPipe;
    api.abortPipe = reinterpret_cast<WinUsbApi::AbortPipe>(lib->symbol("WinUsb_AbortPipe"));
    api.bound = 1;
    return api;
}
#else
// Linux: the WinUSB roles on libusb when it can be loaded; else the binding stays clear.
WinUsbApi bindSystem() {
    static const std::optional<LibUsb> functions = bindLibUsb();
    if (!functions) return {};
    return winUsbOnLibUsb(*functions).value_or(WinUsbApi{});
}
#endif

const WinUsbApi& systemBinding() {
    static const WinUsbApi api = bindSystem();
    return api;
}

std::atomic<const WinUsbApi*> g_installed{nullptr};

} // namespace

const WinUsbApi& winUsb() {
    if (const WinUsbApi* t = g_installed.load(std::memory_order_acquire)) return *t;
    return systemBinding();
}

WinUsbApi bindWinUsb() {
    return winUsb();
}

void installWinUsbForTests(const WinUsbApi* api) {
    // Every installed copy is kept for the rest of the process: a transfer still running on
    // another thread may hold the previous one.
    static std::mutex mutex;
    static std::list<WinUsbApi> copies;
    if (!api) {
        g_installed.store(nullptr, std::memory_order_release);
        return;
    }
    std::lock_guard lock(mutex);
    copies.push_back(*api);
    g_installed.store(&copies.back(), std::memory_order_release);
}

void releaseWinUsb(void*& interfaceHandle, void*& file) {
    const WinUsbApi& api = winUsb();
    if (interfaceHandle && api.free) api.free(interfaceHandle);
    interfaceHandle = nullptr;
    if (file != kInvalidFile && api.closeFile) api.closeFile(file);
    file = kInvalidFile;
}

} // namespace zs::transport

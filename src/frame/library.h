#pragma once
#include "frame/dev_struct.h"
#include "frame/file_struct.h"
#include "frame/fourier_tables.h"
#include "frame/generator.h"
#include "telemetry/description_table.h"
#include "transport/winusb_binding.h"

#include <cstdint>
#include <list>
#include <memory>

namespace zs::frame {

using DeviceList = std::list<std::shared_ptr<DevStruct>>;
using FileList = std::list<FileStruct>;
using GeneratorList = std::list<std::unique_ptr<Generator>>;

// All process-wide state. Members are declared in the order of creation, so they are
// destroyed in the reverse order, as unloading requires.
struct LibraryState {
    LibraryState();
    ~LibraryState();
    LibraryState(const LibraryState&) = delete;
    LibraryState& operator=(const LibraryState&) = delete;

    telemetry::DescriptionTable description;
    SpectrumTables spectrum;
    std::unique_ptr<double[]> teleRing;
    int32_t teleRingLength = 0;
    DeviceList devices;
    FileList files;
    GeneratorList generators;
    uint32_t nextFileId = 256;
    int32_t descriptionLoaded = 0;
    uint32_t reconnectSkip = 0; // devices a full reconnect passes over before taking one
    bool socketsStarted = false;
    // Set when the system loader unloads the library: nothing may wait for a thread then,
    // nor clean Winsock up (both need the loader lock, which the unloading thread holds).
    bool unloadingUnderLoaderLock = false;

    // Starts Winsock on the first use of a socket, never in the DLL entry; false when it
    // cannot start.
    bool useSockets();
};

// Creates the state and runs start-up. Loading twice without unloading keeps the first.
void libraryLoad();
// Runs shut-down and destroys the state. Harmless when not loaded.
void libraryUnload(bool underLoaderLock = false);
bool libraryLoaded();
// The loaded state. Exports run only while the library is loaded.
LibraryState& lib();

} // namespace zs::frame

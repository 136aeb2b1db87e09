#pragma once
#include <cstdint>
#include <iterator>

namespace zs::frame {

// The ways an export's first argument finds its element. Each returns a pointer to the list
// element (the shared pointer for devices, the record for files) or null for "not found".

// Rule P: a position, compared only with zero, so a negative index is never found.
template <class List>
auto* findByPosition(List& list, int32_t index) {
    using Element = typename List::value_type;
    if (index < 0) return static_cast<Element*>(nullptr);
    for (auto& element : list) {
        if (index == 0) return &element;
        --index;
    }
    return static_cast<Element*>(nullptr);
}

// Rule F: the first file whose identifier equals the index.
template <class FileList>
auto* findFile(FileList& files, uint32_t id) {
    using Element = typename FileList::value_type;
    for (auto& file : files)
        if (file.fileId == id) return &file;
    return static_cast<Element*>(nullptr);
}

// Rule "first": the first element, or null for an empty list.
template <class List>
auto* findFirst(List& list) {
    using Element = typename List::value_type;
    return list.empty() ? static_cast<Element*>(nullptr) : &list.front();
}

// Rule M: below 256 a device position, from 256 on a file identifier. Calls `onDevice` with
// the device's shared pointer or `onFile` with the file record; returns `notFound` otherwise.
template <class DeviceList, class FileList, class OnDevice, class OnFile, class R>
R findMixed(DeviceList& devices, FileList& files, int32_t index, OnDevice&& onDevice,
            OnFile&& onFile, R notFound) {
    if (static_cast<uint32_t>(index) < 256) {
        if (auto* device = findByPosition(devices, index)) return onDevice(*device);
        return notFound;
    }
    if (auto* file = findFile(files, static_cast<uint32_t>(index))) return onFile(*file);
    return notFound;
}

} // namespace zs::frame

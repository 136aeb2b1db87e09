// Datagrams on an Ethernet instrument's stream socket: the sender's address as the receive
// stored it, then the datagram; an accepted one is decoded into a record reused from input to
// input. Input: record selector, 8 bytes of sender address, then the datagram.
#include "engine/stream_threads.h"
#include "fuzz_support.h"
#include "platform/sockets.h"

using namespace zs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    frame::DevStruct& d = fuzz::shapedRecord(data[0]);
    d.udpPeer = transport::UdpPeer{platform::hostToNetwork16(22),
                                   platform::hostToNetwork32(platform::kLoopbackAddress)};
    const std::span<const uint8_t> datagram(data + 9, size - 9);
    const auto record =
        engine::streamDatagramRecord(d.udpPeer, datagram, data + 1, static_cast<int32_t>(8));
    if (!record) return 0;
    fuzz::check(record->data() >= datagram.data() &&
                record->data() + record->size() == datagram.data() + datagram.size());
    engine::deliverRecord(d, *record);
    return 0;
}

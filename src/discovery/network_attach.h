#pragma once
#include "platform/adapters.h"
#include "platform/sockets.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace zs::frame {
struct DevStruct;
}

namespace zs::discovery {

inline constexpr uint16_t kWiFiCommandPort = 30704;
inline constexpr uint16_t kWiFiDataPort = 10001; // + channel
inline constexpr uint16_t kEthernetQueryPort = 22;

// Connects to the Wi-Fi instrument at `device` (dotted text) from `local` (null: the first
// adapter on the device's network), adds one record per channel it announces, identifies
// and starts them. 1 when the command connection was made, else 0. `*index` (may be null):
// -1, then the position of its last channel when it added one.
int attachWiFiDevice(const char16_t* local, const char16_t* device, int32_t* index);

// Finds Ethernet instruments by the UDP query sent to `address` (null: every adapter's
// directed broadcast address), adds and starts one record per accepted reply. Returns how
// many were added; `*index` as above when any was.
// Sends the hello on a Wi-Fi instrument's command connection and reads its 5-byte reply: the
// channel code, or nothing when no whole reply came in time. `first` lends its stop event.
std::optional<uint32_t> helloChannelCode(platform::SocketHandle command, frame::DevStruct& first);

// Connects a Wi-Fi record again when its instrument closed or reset the connection (it was
// restarted, or out of reach); true when the link is up, whether it was connected again or
// never went.
bool reopenClosedWiFi(frame::DevStruct& d);

// A reconnect's fresh socket to an Ethernet instrument's reply address: what the old one was
// left with while the instrument was gone (refusals, a receive that never completes) stays
// behind with it. False, with the old socket kept, when no new one could be made.
bool reopenEthernet(frame::DevStruct& d);

int attachEthDevice(const char16_t* address, int32_t* index);

// Where the Ethernet query goes: the given address, else the directed broadcast address of
// every adapter with an address.
std::vector<uint32_t>
ethernetQueryTargets(std::optional<uint32_t> given,
                     const std::optional<std::vector<platform::AdapterAddress>>& table);

} // namespace zs::discovery

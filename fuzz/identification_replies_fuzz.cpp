// Identification replies as the stages apply them: the record a tagged or sync instrument
// answers with, at a stage rate or not, onto a record reused from input to input.
// Input: mode, link kind, then the reply.
#include "discovery/identification.h"
#include "fuzz_support.h"

using namespace zs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    frame::LibraryState& s = fuzz::loadedLibrary();
    using transport::LinkKind;
    static constexpr LinkKind kKinds[] = {
        LinkKind::FtdiDirect,     LinkKind::FtdiPacketSwitched,
        LinkKind::FtdiDirectSync, LinkKind::FtdiPacketSwitchedSync,
        LinkKind::TcpChannel0,    LinkKind::TcpChannel1,
        LinkKind::MultiPortOutput};
    static constexpr uint32_t kRates[] = {2304000, 115200, 2048000};
    static frame::DevStruct d;
    d.linkKind = kKinds[data[1] % std::size(kKinds)];
    d.maxBaudRate = (data[0] & 0x40) ? 3000000 : 0;
    const uint8_t* reply = data + 2;
    const auto length = static_cast<uint32_t>(size - 2);
    if (data[0] & 0x80)
        discovery::applyIdentificationAtRate(d, kRates[data[0] % 3], reply, length);
    else
        discovery::applyIdentification(d, reply, length);
    // Whatever it said, the record is done with identification and the tables keep the shape
    // its layout gives them.
    fuzz::check(d.linkState == -1);
    fuzz::check(s.descriptionLoaded == 1);
    return 0;
}

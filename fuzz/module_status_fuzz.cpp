// Bytes from an output module, cut into packets by the module's parser and answered as the
// reader thread does, while the host's settings change between packets.
// Input: family and settings byte, then the bytes the module sends.
#include "fuzz_support.h"
#include "generators/gen_device.h"
#include "generators/output_module.h"

using namespace zs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static transport::CDoutPacketProcess tagged(generators::kParserBufferSize);
    static transport::CDinPacketProcess sync(generators::kParserBufferSize);
    static generators::ModuleState state;
    transport::CPacketProcess& parser =
        (data[0] & 1) ? static_cast<transport::CPacketProcess&>(sync) : tagged;
    if (data[0] & 2) state.setFrequency(static_cast<double>(data[0]) * 97.0);
    if (data[0] & 4) state.setLevel(-static_cast<double>(data[0] >> 3));
    if (data[0] & 8) state.setOutput((data[0] & 16) != 0);

    uint32_t position = 0;
    const auto length = static_cast<uint32_t>(size - 1);
    while (parser.process(data + 1, length, position)) {
        fuzz::check(parser.payloadLength() <= generators::kParserBufferSize);
        uint32_t command = 0;
        if (!generators::ModuleReader::answer(parser.payload(), parser.payloadLength(), state,
                                              command))
            continue;
        // Only a status packet is answered, with the pending frequency or the level asked for.
        fuzz::check(parser.payloadLength() >= generators::kModulePacketMinimum);
        fuzz::check(command == generators::frequencyCommand(state.freqWord.load()) ||
                    command == generators::levelCommand(state.levelWord.load()));
    }
    fuzz::check(position <= length);
    return 0;
}

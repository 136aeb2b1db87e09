// "*IDN?" replies of SCPI generators: the identity text, the dialect it selects and the short
// name K427_GetGenName shows.
#include "fuzz_support.h"
#include "generators/gen_device.h"

#include <algorithm>

using namespace zs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The read may report more than it could store; the text never goes past the buffer.
    const auto reported = static_cast<uint32_t>(size);
    const std::string text = generators::identityText(data, reported);
    fuzz::check(text.size() < generators::kIdentifyCapacity && text.size() <= size);
    fuzz::check(text.empty() || (text.back() != ' ' && text.back() != '\n' && text.back() != '\r' &&
                                 text.back() != '\t'));
    const auto kind = generators::identityKind(text);
    fuzz::check(kind == generators::GenKind::Generic || kind == generators::GenKind::Stanford);
    const std::string name = generators::shortNameOf(text);
    if (!name.empty()) {
        fuzz::check(text.compare(0, name.size(), name) == 0);
        fuzz::check(std::count(name.begin(), name.end(), ',') == 1);
    }
    return 0;
}

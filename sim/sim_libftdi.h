#pragma once
// A stand-in for libftdi1 on the simulated D2XX devices: the chips it finds are the simulated
// devices, and every chip request becomes the D2XX call that has the same effect, so the
// simulated instruments see a libftdi host exactly as they see a D2XX one. Devices whose
// serial numbers and descriptions end in the channel letters of one chip ("…A"/"… A",
// "…B"/"… B") are the channels of one dual- or quad-channel chip, as D2XX names them.
#include "transport/linux/libftdi.h"

namespace zs::sim {

// The functions, for d2xxOnLibFtdi and for the shared library that exports them by name.
const transport::LibFtdi& simLibFtdi();

} // namespace zs::sim

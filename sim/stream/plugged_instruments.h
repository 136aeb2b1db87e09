#pragma once
// Plugs simulated FTDI instruments into the simulated D2XX from a text, so a program that
// loads the driver by name (the demo, zsig, end-to-end tests) can choose what is attached:
//
//   SERIAL|DESCRIPTION|key=value,key,...;SERIAL|...
//
// Keys: family=tagged|sync|none (none never answers), rate=N (its line rate), packet (told
// its rate by the rate packet), noquery (answers only the acknowledge), rates=N+N (rates its
// query reply lists), mask=N (bit-mode mask of its reset pulse), programs=N+N (its program
// list), streams (talks unasked when its rate is set), type=N, program=N, vin=N (what its
// records say), records=N (records per second once its stream is on), refuse-open (the open
// call fails), signal=F:A+F:A (in raw-signal mode it streams tones of F Hz and amplitude A,
// in sample values, at its type's sampling rate).
//
// WinUSB instruments on the simulated WinUSB are named the same way, by their device path:
//
//   PATH|key=value,...;PATH|...
//
// with the keys type, program, vin, records and signal as above.
#include "description_source.h"
#include "sim_ftdi_instrument.h"
#include "sim_winusb_instrument.h"
#include "stream_instruments.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zs::sim {

// Makes `device` an instrument that answers identification as `model` does (with the
// source's first record) and then streams the source's records, logging every command.
// `identity` (may be null) receives the WinUSB instrument's identifying part.
std::shared_ptr<FtdiStreamInstrument>
attachStreamingFtdi(SimD2xxDevice& device, FtdiInstrument model, StreamSource source);
std::shared_ptr<WinUsbStreamInstrument>
attachStreamingWinUsb(SimWinUsbDevice& device, WinUsbInstrument model, StreamSource source,
                      std::shared_ptr<WinUsbInstrument>* identity = nullptr);

// Adds the devices the text names; false (nothing added) when the text is malformed.
bool plugInstruments(const std::string& text, const zsdesc::Description& description);

// A WinUSB instrument plugged in: the device answers identification and streams while these
// live (stop the stream before the simulated WinUSB forgets the device).
struct PluggedWinUsb {
    std::u16string path;
    std::shared_ptr<WinUsbInstrument> identity;
    std::shared_ptr<WinUsbStreamInstrument> stream;
};
// Adds the WinUSB devices the text names; nothing (and nothing added) when it is malformed.
std::optional<std::vector<PluggedWinUsb>>
plugWinUsbInstruments(const std::string& text, const zsdesc::Description& description);

} // namespace zs::sim

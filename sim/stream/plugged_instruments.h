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
#include "description_source.h"
#include "sim_ftdi_instrument.h"
#include "sim_winusb_instrument.h"
#include "stream_instruments.h"

#include <memory>
#include <string>

namespace zs::sim {

// Makes `device` an instrument that answers identification as `model` does (with the
// source's first record) and then streams the source's records, logging every command.
std::shared_ptr<FtdiStreamInstrument>
attachStreamingFtdi(SimD2xxDevice& device, FtdiInstrument model, StreamSource source);
std::shared_ptr<WinUsbStreamInstrument>
attachStreamingWinUsb(SimWinUsbDevice& device, WinUsbInstrument model, StreamSource source);

// Adds the devices the text names; false (nothing added) when the text is malformed.
bool plugInstruments(const std::string& text, const zsdesc::Description& description);

} // namespace zs::sim

"""The Pythonic face of the exports: a Library, its devices and its recorded files."""

import ctypes
import datetime
import enum
import math
from collections import namedtuple

from . import _native
from .errors import (AttachError, DeviceNotFoundError, FileOpenError, GeneratorError,
                     NoDescriptionError, ReconnectError, RecordError, ZentrelSignalError)

try:
    import numpy
except ImportError:  # NumPy is optional: lists instead of arrays
    numpy = None

#: A table cell no record has written.
NO_VALUE = 1e-200
#: First identifier of an open recorded file; smaller indices are device positions.
FILE_ID_BASE = 256
#: Bins of GetSpectrum's output: bins 273 up of a 65536-point transform.
SPECTRUM_BINS = 10650
_SPECTRUM_FIRST_BIN = 273
_SPECTRUM_POINTS = 65536

_OLE_EPOCH = datetime.datetime(1899, 12, 30)


class Mode(enum.IntEnum):
    """A device's streaming mode."""
    MEASUREMENT = 0
    RAW_SIGNAL = 1


class LinkKind(enum.IntEnum):
    """How a device is connected, and the protocol it speaks."""
    NONE_OR_WINUSB = 0
    UNACCEPTED = 1  # opened by the QM730 list builder, not (yet) accepted
    FTDI_DIRECT = 2
    FTDI_PACKET_SWITCHED = 3
    FTDI_DIRECT_SYNC = 4
    FTDI_PACKET_SWITCHED_SYNC = 5
    TCP_CHANNEL_0 = 6
    TCP_CHANNEL_1 = 7
    MULTI_PORT_OUTPUT = 13
    ETHERNET = 14


class Link(enum.Enum):
    """The USB instruments a list builder looks for."""
    USB = "K427_BuildFList"          # every accepted USB instrument (FTDI, then WinUSB)
    L700 = "K427_BuildL700List"      # the L700 instruments
    QM730 = "QM730_BuildQM730List"   # the QM730 generators


class Units(enum.IntEnum):
    """A generator's amplitude unit."""
    RMS = 1
    PEAK_TO_PEAK = 2


class Waveform(enum.IntEnum):
    """A generator's waveform (a "StanfordResearchSystems" generator also takes 3 to 5)."""
    SINE = 1
    SQUARE = 2


#: One decoded value with its coordinates and labels. band_set counts from 1.
Cell = namedtuple("Cell", "channel band_set averaging averaging_name band band_label value")


def ole_to_datetime(ole):
    """An OLE Automation date as a naive datetime (local time); None for 0.0."""
    if ole == 0.0 or not math.isfinite(ole):
        return None
    day = math.trunc(ole)
    fraction = abs(ole - day)
    return _OLE_EPOCH + datetime.timedelta(days=day) + datetime.timedelta(
        milliseconds=round(fraction * 86400000))


def _text(function, *args, length=256):
    buffer = (_native.WCHAR * length)()
    n = function(*args, buffer, length)
    if n >= length:  # cut: ask again with room for all of it
        return _text(function, *args, length=n + 1)
    return _native.text_of(buffer) if n > 0 else ""


class _Source:
    """What devices and recorded files answer alike, addressed by their index."""

    def __init__(self, native, index):
        self._n = native
        self.index = index

    @property
    def device_type(self):
        return self._n.K427_GetDeviceType(self.index)

    @property
    def range(self):
        return self._n.K427_GetDeviceRange(self.index)

    @property
    def serial_number(self):
        return self._n.K427_GetDeviceVIN(self.index)

    @property
    def start_stop_state(self):
        return self._n.K427_GetStartStopState(self.index)

    @property
    def online(self):
        return self._n.K427_IsDeviceOnLine(self.index) == 1

    @property
    def date_time(self):
        """The time of the current record as a datetime, or None when it has none."""
        return ole_to_datetime(self._n.K427_GetDateTime(self.index))

    def overflow(self, channel):
        return self._n.K427_GetOverflowState(self.index, channel)

    def underrange(self, channel):
        return self._n.K427_GetUnderrangeState(self.index, channel)

    def value(self, channel, band_set, averaging, band):
        """One value; band_set counts from 1. -1.0 for coordinates outside the tables."""
        return self._n.K427_GetData(self.index, channel, band_set - 1, averaging, band)

    def averaging_name(self, band_set, averaging):
        return _text(self._n.K427_GetAverName, self.index, band_set - 1, averaging)

    def band_name(self, band_set, averaging, band):
        return _text(self._n.K427_GetBandName, self.index, band_set - 1, averaging, band)

    def cells(self):
        """Every value of the current record with its labels (None where none was written).

        A column past a set's values reads on into its band frequencies, so the bands are
        those with a label when the set has labels."""
        out = []
        get = self._n.K427_GetData
        for channel in range(8):
            for group in range(3):
                for averaging in range(256):
                    if get(self.index, channel, group, averaging, 0) == -1.0:
                        break
                    total = 0
                    while total < 4096 and get(self.index, channel, group, averaging, total) != -1.0:
                        total += 1
                    labels = []
                    while len(labels) < total:
                        label = self.band_name(group + 1, averaging, len(labels))
                        if not label:
                            break
                        labels.append(label)
                    name = self.averaging_name(group + 1, averaging)
                    for band in range(len(labels) or total):
                        v = get(self.index, channel, group, averaging, band)
                        out.append(Cell(channel, group + 1, averaging, name, band,
                                        labels[band] if labels else "",
                                        None if v == NO_VALUE else v))
        return out


class Device(_Source):
    """An instrument in the device list, addressed by its position."""

    def __repr__(self):
        return f"<Device {self.index}: type {self.device_type}, serial {self.serial_number}>"

    @property
    def high_speed(self):
        return self._n.K427_IsDeviceHighSpeed(self.index) == 1

    @property
    def channel_count(self):
        return self._n.K427_GetChannelN(self.index)

    @property
    def sampling_rate(self):
        return self._n.K427_GetFSampling(self.index)

    def correction(self, channel):
        return self._n.K427_GetCorrection(self.index, channel)

    def sensitivity(self, channel):
        return self._n.K427_GetSensor(self.index, channel)

    def k_base(self, channel):
        return self._n.K427_GetKBase(self.index, channel)

    def base_level(self, channel):
        return self._n.K427_GetBaseLevel(self.index, channel)

    def wait_for_packet(self, timeout_ms=0):
        """True when a record arrives within timeout_ms (0: once per new record)."""
        return self._n.K427_WaitForTelePacket(self.index, timeout_ms) == 1

    def set_signal_callback(self, callback, user=0):
        """Calls callback(payload_bytes_pointer, count, user) to fill each raw-signal output
        block, on the device's I/O thread; None removes it. Keep the device while it is set."""
        if callback is None:
            self._callback = None
            self._n.K427_RegisterCallbackForSignalSend(self.index,
                                                       _native.SIGNAL_SEND_CALLBACK(), user)
            return
        self._callback = _native.SIGNAL_SEND_CALLBACK(callback)  # kept alive with the device
        self._n.K427_RegisterCallbackForSignalSend(self.index, self._callback, user)


    def _check_listed(self):
        if not 0 <= self.index < self._n.K427_GetDeviceCount():
            raise DeviceNotFoundError(f"no device at position {self.index}")

    def bind_signal_buffer(self, length):
        """Lends the device a ring of `length` doubles for its raw signal (Mode.RAW_SIGNAL),
        written from its start; returns it as a SignalBuffer. The library writes into it until
        another is bound or the device list is freed, so it is kept until then."""
        self._check_listed()
        if length < 0:
            raise ValueError("a buffer length of 0 or more")
        buffer = SignalBuffer(self._n, self.index, length)
        self._n.K427_Configure(self.index, buffer._pointer, length)
        self._n.state.setdefault("lent_buffers", []).append(buffer)
        return buffer

    def select_program(self, program):
        """Switches the instrument to measurement program `program` and reconnects it at
        the same position; raises ReconnectError when it cannot be identified again."""
        self._check_listed()
        if self._n.K427_SelectVirtualDevice(self.index, program) != 1:
            raise ReconnectError(f"device {self.index} did not come back with program "
                                 f"{program}")

    def switch_off(self):
        """Asks the instrument to switch itself off."""
        self._check_listed()
        self._n.K427_SwitchOffVirtualDevice(self.index)

    # Commands: the device's I/O thread carries them out on its next pass. The instrument
    # does not acknowledge them; an unknown device or a refused argument has no effect.

    def set_mode(self, mode):
        """Switches between Mode.MEASUREMENT and Mode.RAW_SIGNAL, restarting the I/O thread."""
        if self._n.K427_SetSMode(self.index, int(mode)) != 1:
            raise DeviceNotFoundError(f"no device at position {self.index}")

    def reset_measurement(self):
        self._n.K427_SendResetCmd(self.index)

    def start_stop(self):
        """Toggles measuring."""
        self._n.K427_SendStartStopCmd(self.index)

    def start(self):
        self._n.K427_SendStartCmd(self.index)

    def stop(self):
        self._n.K427_SendStopCmd(self.index)

    def set_range(self, measuring_range):
        """Measuring range 0..3."""
        self._n.K427_SendRangeCmd(self.index, measuring_range)

    def set_polarity(self, polarity):
        self._n.K427_SendPolCmd(self.index, int(polarity))

    def set_icp_supply(self, on):
        """Switches the ICP sensor supply."""
        self._n.K427_SendIcpModeCmd(self.index, 1 if on else 0)

    def set_zero_channel_mode(self, on):
        self._n.K427_SendZChModeCmd(self.index, 1 if on else 0)

    def restart(self):
        """Restarts the instrument through its reset line; it is offline meanwhile."""
        self._n.K427_ResetDevice(self.index)

    def set_clock(self):
        """Sets the instrument's clock to this computer's local date and time."""
        self._n.K427_SetDateTime(self.index)

    def record_signal(self, rate, gain, channel_mask):
        """Raw-signal recording at rate Hz, gain in steps of 0.5, channels of channel_mask."""
        self._n.K427_SendSigRegModeCmd(self.index, ctypes.byref(ctypes.c_double(rate)),
                                       ctypes.byref(ctypes.c_double(gain)), channel_mask)

    def calibrate(self, channel, correction, sensitivity, k_base):
        self._n.K427_SendCalibrationCmd(
            self.index, channel, ctypes.byref(ctypes.c_double(correction)),
            ctypes.byref(ctypes.c_double(sensitivity)), ctypes.byref(ctypes.c_double(k_base)))

    def select_bands(self, frequency, bandwidth_code, ratios):
        """Band selection: frequency in Hz, a bandwidth code and six ratio words."""
        if len(ratios) != 6:
            raise ValueError("six ratio words")
        words = (ctypes.c_int32 * 6)(*ratios)
        self._n.K427_SendSetBandsCmd(self.index, ctypes.byref(ctypes.c_double(frequency)),
                                     bandwidth_code, words)

    def select_low_frequency_bands(self, centre, bandwidth_index):
        """Five low-frequency bands around centre Hz, bandwidth index 0..18."""
        self._n.K427_SendSetBandsCmdLF(self.index, ctypes.byref(ctypes.c_double(centre)),
                                       bandwidth_index)


class QM730(Device):
    """A QM730 signal generator in the device list: its setters raise when refused."""

    def _set(self, function, value, what):
        if function(self.index, float(value)) != 1:
            raise ZentrelSignalError(f"generator {self.index} refused {what} {value}")

    def set_amplitude(self, percent):
        """Amplitude in percent of full scale."""
        self._set(self._n.QM730_SetAmp, percent, "amplitude")

    def set_frequency(self, hz):
        self._set(self._n.QM730_SetFrequency, hz, "frequency")

    def set_level(self, level):
        self._set(self._n.QM730_SetLevel, level, "level")


class RecordedFile(_Source):
    """An open recorded file: step through its records and read them as a device's.

    Use it as a context manager, or call close()."""

    def __init__(self, native, path):
        file_id = native.K427_OpenFile(_native.wide(str(path)))
        if file_id == -1:
            raise FileOpenError(f"cannot open {path}")
        if file_id == -2:
            raise NoDescriptionError(f"{path} matches no instrument type of the description file")
        super().__init__(native, file_id)
        self.path = path
        self._open = True
        self.record = 0

    def __repr__(self):
        return f"<RecordedFile {self.path!r}: id {self.index}, {len(self)} records>"

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_open", False):
            self.close()

    def close(self):
        if self._open:
            self._open = False
            self._n.K427_CloseFile(self.index)

    def _check(self):
        if not self._open:
            raise DeviceNotFoundError(f"{self.path} is closed")

    def __len__(self):
        self._check()
        return self._n.K427_GetNumRecords(self.index)

    def seek(self, record):
        """Reads and decodes record `record` (from 0); raises RecordError when it cannot."""
        self._check()
        if record < 0 or self._n.K427_SetToRecord(self.index, record) != 1:
            raise RecordError(f"record {record} of {self.path} cannot be read")
        self.record = record

    def records(self):
        """Steps through every record; yields each record number after decoding it."""
        for r in range(len(self)):
            self.seek(r)
            yield r


class SignalBuffer:
    """A ring of doubles lent to a device for its raw signal: channel-interleaved samples,
    scaled and filtered, the newest just before the device's write position."""

    def __init__(self, native, index, length):
        self._n = native
        self.index = index
        if numpy is not None:
            self.samples = numpy.zeros(length, dtype=numpy.float64)
            self._pointer = self.samples.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
            self._address = self.samples.ctypes.data
        else:
            self.samples = (ctypes.c_double * length)()
            self._pointer = ctypes.cast(self.samples, ctypes.POINTER(ctypes.c_double))
            self._address = ctypes.addressof(self.samples)

    def __len__(self):
        return len(self.samples)

    @property
    def position(self):
        """Where the device writes its next sample (0 before the first, or when the device
        writes into another buffer)."""
        pointer = self._n.K427_GetWPtr(self.index)
        offset = (ctypes.cast(pointer, ctypes.c_void_p).value or 0) - self._address
        if not 0 <= offset < 8 * len(self) or offset % 8:
            return 0
        return offset // 8

    def latest(self, count):
        """The newest `count` samples (at most the ring's length), oldest first: a NumPy
        array, or a list without NumPy."""
        count = max(0, min(count, len(self)))
        end = self.position
        start = end - count
        if numpy is not None:
            if start >= 0:
                return self.samples[start:end].copy()
            return numpy.concatenate((self.samples[start:], self.samples[:end]))
        values = list(self.samples)
        return values[start:end] if start >= 0 else values[start:] + values[:end]


class DeviceList:
    """The library's device list: the builders and network attach calls append instruments
    to it and start them; free() stops every device, switches its stream off and empties it.

    Use it as a context manager: leaving the with block frees the list, also when the block
    ends with an exception. Devices are addressed by their position, which a reconnect
    keeps; after free() the Device objects of the list address nothing."""

    def __init__(self, native):
        self._n = native

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.free()

    def __repr__(self):
        return f"<DeviceList: {len(self)} devices>"

    def __len__(self):
        return self._n.K427_GetDeviceCount()

    def __getitem__(self, position):
        count = len(self)
        if position < 0:
            position += count
        if not 0 <= position < count:
            raise DeviceNotFoundError(f"no device at position {position}")
        return Device(self._n, position)

    def __iter__(self):
        return iter([Device(self._n, i) for i in range(len(self))])

    def _added(self, before, kind=None):
        kind = kind or Device
        return [kind(self._n, i) for i in range(before, len(self))]

    def add(self, link=Link.USB):
        """Appends the USB instruments a Link names, identifies and starts them; returns the
        devices added (QM730 objects for Link.QM730), none when none was found."""
        link = Link(link)
        before = len(self)
        getattr(self._n, link.value)()
        return self._added(before, QM730 if link is Link.QM730 else Device)

    def attach_wifi(self, address, local_address=None):
        """Connects to the Wi-Fi instrument at address ("a.b.c.d"), one device per channel
        it announces, from local_address (None: the first adapter on its network). Returns
        the devices added; raises AttachError when the instrument does not answer."""
        before = len(self)
        local = None if local_address is None else str(local_address)
        if self._n.K427_AttachWiFiDevice(_native.wide(local), _native.wide(str(address)),
                                         None) != 1:
            raise AttachError(f"no Wi-Fi instrument answered at {address}")
        return self._added(before)

    def attach_ethernet(self, address=None):
        """Queries Ethernet instruments at address (None: every adapter's broadcast address)
        and adds those that reply; returns the devices added, none when none replied."""
        before = len(self)
        self._n.K427_AttachEthDevice(_native.wide(None if address is None else str(address)),
                                     None)
        return self._added(before)

    def reconnect(self, position, soft=False):
        """Reopens and re-identifies the device at a position, which it keeps; soft keeps
        the USB handle open. Raises ReconnectError when it cannot be found again."""
        if not 0 <= position < len(self):
            raise DeviceNotFoundError(f"no device at position {position}")
        function = self._n.K427_ReconnectDeviceSoft if soft else self._n.K427_ReconnectDevice
        if function(position) != 1:
            raise ReconnectError(f"device {position} could not be reconnected")
        return Device(self._n, position)

    def free(self):
        """Stops every device, switches its stream off and empties the list."""
        self._n.K427_FreeFList()
        self._n.state.pop("lent_buffers", None)  # no device writes into them any more


class Tele(DeviceList):
    """Tele mode: the USB instruments listed, the first one running as a remote sensor whose
    raw signal flows into the library's tele ring for spectrum(). Leaving the with block
    releases the device list (the ring stays for the next session)."""

    @property
    def sensor(self):
        """The instrument whose signal the spectrum shows: the first in the list."""
        return self[0]

    def spectrum(self, window=True):
        """Power spectrum in dB of the newest 65536 samples: see Library.spectrum."""
        return _spectrum(self._n, window)

    def frequencies(self):
        """The frequency in Hz of each spectrum bin at the sensor's sampling rate."""
        return spectrum_frequencies(self.sensor.sampling_rate)

    def free(self):
        self._n.TurnOffTele()
        self._n.state.pop("lent_buffers", None)


class Generator:
    """A signal generator or output module of the generator list, addressed by its position.

    Each setter raises GeneratorError when the generator is gone, cannot be opened or refuses
    the value; channel counts from 0. A rebuilt list makes older Generator objects stale."""

    def __init__(self, native, index, generation):
        self._n = native
        self.index = index
        self._generation = generation
        self._name = None

    def __repr__(self):
        known = "" if self._name is None else f": {self._name!r}"  # asking would open it
        return f"<Generator {self.index}{known}>"

    def _check(self):
        if self._n.state.get("generator_generation") != self._generation:
            raise GeneratorError(f"generator {self.index} is from an earlier generator list")

    @property
    def name(self):
        """Maker and model ("" when it does not answer); asked once, as asking opens it."""
        if self._name is None:
            self._check()
            self._name = _text(self._n.K427_GetGenName, self.index, length=64)
        return self._name

    def _set(self, function, value, channel, what):
        self._check()
        if function(self.index, value, channel) != 1:
            raise GeneratorError(f"generator {self.index} refused {what} {value} "
                                 f"on channel {channel}")

    def set_frequency(self, hz, channel=0):
        self._set(self._n.K427_GenSetFreq, float(hz), channel, "frequency")

    def set_level(self, volts, channel=0):
        """Amplitude in volts of the current unit (above 0)."""
        self._set(self._n.K427_GenSetLevel, float(volts), channel, "level")

    def set_offset(self, volts, channel=0):
        self._set(self._n.K427_GenSetOffset, float(volts), channel, "offset")

    def set_units(self, units, channel=0):
        """Units.RMS or Units.PEAK_TO_PEAK."""
        self._set(self._n.K427_GenSetUnits, int(units), channel, "units")

    def set_output(self, on, channel=0):
        self._set(self._n.K427_GenSetOutputState, 1 if on else 0, channel, "output state")

    def set_load(self, ohms, channel=0):
        """Output load in ohms; None for high impedance."""
        self._set(self._n.K427_GenSetOutputLoad, -1.0 if ohms is None else float(ohms), channel,
                  "load")

    def set_waveform(self, waveform, channel=0):
        self._set(self._n.K427_GenSetSignalType, int(waveform), channel, "waveform")


class Library:
    """The loaded ZentrelSignal library.

    path: the library file; by default ZENTREL_SIGNAL_LIBRARY, then the source tree's build,
    then the system's search order."""

    def __init__(self, path=None):
        self._n = _native.Native(path)

    @property
    def path(self):
        return self._n.path

    @property
    def native(self):
        """The exports themselves, typed as the header declares them."""
        return self._n

    @property
    def version(self):
        """(major, minor), e.g. (2, 11)."""
        v = self._n.K427_GetLibraryVersion()
        return (v >> 16, v & 0xFFFF)

    @property
    def device_count(self):
        return self._n.K427_GetDeviceCount()

    def device(self, position):
        if not 0 <= position < self.device_count:
            raise DeviceNotFoundError(f"no device at position {position}")
        return Device(self._n, position)

    def devices(self):
        return [Device(self._n, i) for i in range(self.device_count)]

    def device_list(self, *links):
        """The device list, first adding the instruments of each Link given (in order); a
        DeviceList to use with `with`, which frees the list at the end of the block."""
        devices = DeviceList(self._n)
        try:
            for link in links:
                devices.add(link)
        except BaseException:
            devices.free()
            raise
        return devices

    def generators(self):
        """Rebuilds the generator list (serial ports, VISA instruments, output modules) and
        returns it as Generator objects; generators from an earlier call become stale."""
        count = self._n.K427_BuildGenList()
        generation = self._n.state.get("generator_generation", 0) + 1
        self._n.state["generator_generation"] = generation
        return [Generator(self._n, i, generation) for i in range(count)]

    @property
    def generator_count(self):
        """Generators in the list the last generators() call built."""
        return self._n.K427_GetGenCount()

    def open_file(self, path):
        """Opens a recorded file (record 0 decoded); a RecordedFile to use with `with`."""
        return RecordedFile(self._n, path)

    @property
    def tele_type(self):
        """The first device's Mode, or None without devices."""
        t = self._n.GetTeleType()
        if t < 0:
            return None
        try:
            return Mode(t)
        except ValueError:
            return t

    def tele(self, mode=Mode.RAW_SIGNAL):
        """Lists the USB instruments and runs the first one as a remote sensor in `mode`; a
        Tele to use with `with`, which releases the device list at the end of the block.
        Raises DeviceNotFoundError when no instrument is attached."""
        tele = Tele(self._n)
        if self._n.TurnOnTele(int(mode)) != 1:
            tele.free()
            raise DeviceNotFoundError("no instrument for tele mode")
        return tele

    def spectrum(self, window=True):
        """Power spectrum in dB of the first device's tele ring: NumPy array (or list) of
        10650 bins. Raises ZentrelSignalError when no device is in tele mode."""
        return _spectrum(self._n, window)


def spectrum_frequencies(sampling_rate):
    """The frequency in Hz of each of the SPECTRUM_BINS bins at a sampling rate: a NumPy
    array, or a list without NumPy."""
    step = sampling_rate / _SPECTRUM_POINTS
    if numpy is not None:
        return (numpy.arange(SPECTRUM_BINS) + _SPECTRUM_FIRST_BIN) * step
    return [(k + _SPECTRUM_FIRST_BIN) * step for k in range(SPECTRUM_BINS)]


def _spectrum(native, window):
    if numpy is not None:
        out = numpy.empty(SPECTRUM_BINS, dtype=numpy.float64)
        pointer = out.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
    else:
        out = (ctypes.c_double * SPECTRUM_BINS)()
        pointer = out
    if native.GetSpectrum(pointer, 1 if window else 0) != 1:
        raise ZentrelSignalError("no spectrum: the first device is not in tele mode")
    return out if numpy is not None else list(out)

"""The binding against the library and the simulated instruments of a build.

ZENTREL_SIGNAL_LIBRARY names the library (the build's bin folder also holds the sample
files and the simulated drivers, which the library binds from its own folder); without it
the source tree's native build is used."""

import ctypes
import os
import sys
import time
from contextlib import contextmanager
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import zentrel_signal as zs  # noqa: E402


@pytest.fixture(scope="session")
def lib():
    return zs.Library()


@pytest.fixture(scope="session")
def bin_dir(lib):
    return Path(os.path.realpath(lib.path)).parent


@pytest.fixture
def sample(bin_dir):
    return bin_dir / "samples" / "sample-current.bin"


@pytest.fixture(scope="session")
def header():
    return (Path(__file__).resolve().parents[2] / "include" / "zentrel_signal.h").read_text()


def _typed(dll, prototypes):
    for name, (restype, argtypes) in prototypes.items():
        f = getattr(dll, name)
        f.restype, f.argtypes = restype, argtypes
    return dll


_c, _u32, _i32, _f64, _void = (ctypes.c_char_p, ctypes.c_uint32, ctypes.c_int, ctypes.c_double,
                               ctypes.c_void_p)


class Simulators:
    """The simulated D2XX and VISA drivers the library binds, loaded from the same files so
    this process shares their instruments with it, and the loopback network instruments the
    simulated D2XX library starts."""

    _pid_part = 20 + os.getpid() % 200
    _next_address = 0

    def __init__(self, folder):
        self.d2xx = _typed(ctypes.CDLL(str(folder / "libftd2xx.so")), {
            "ZsSimD2xx_Reset": (None, []),
            "ZsSimD2xx_Plug": (_i32, [_c]),
            "ZsSimD2xx_Written": (_i32, [_c, ctypes.c_void_p, _u32]),
            "ZsSimD2xx_AddOutputModule": (None, [_c, _c, _i32]),
            "ZsSimD2xx_ModuleState": (_i32, [_c] + [ctypes.POINTER(_u32)] * 4),
            "ZsSimNet_StartWiFi": (_void, [_u32, _u32, _u32, _u32, _f64]),
            "ZsSimNet_StartEthernet": (_void, [_u32, _u32, _f64]),
            "ZsSimNet_Stop": (None, [_void]),
            "ZsSimNet_WaitForCommand": (_i32, [_void, _i32, _c, _u32, _u32,
                                               ctypes.POINTER(ctypes.c_int64)]),
            "ZsSim_ValueSent": (_i32, [_u32, _u32, _u32, _i32, _i32, _i32, _i32, _f64]),
        })
        self.visa = _typed(ctypes.CDLL(str(folder / "libvisa.so")), {
            "ZsSimVisa_Reset": (None, []),
            "ZsSimVisa_AddInstrument": (None, [_c, _c]),
            "ZsSimVisa_Log": (_i32, [_c, ctypes.c_char_p, _u32]),
        })

    def reset(self):
        self.d2xx.ZsSimD2xx_Reset()
        self.visa.ZsSimVisa_Reset()

    def plug(self, *instruments):
        assert self.d2xx.ZsSimD2xx_Plug(";".join(instruments).encode()) == 1

    def written(self, serial):
        n = self.d2xx.ZsSimD2xx_Written(serial.encode(), None, 0)
        out = (ctypes.c_uint8 * max(n, 0))()
        self.d2xx.ZsSimD2xx_Written(serial.encode(), out, len(out))
        return bytes(out)

    def value_sent(self, identity, cell):
        """Whether a simulated instrument (type, program, serial) sent the cell's value."""
        return self.d2xx.ZsSim_ValueSent(*identity, cell.channel, cell.band_set, cell.averaging,
                                         cell.band, cell.value) == 1

    def add_output_module(self, serial, description, tagged):
        self.d2xx.ZsSimD2xx_AddOutputModule(serial.encode(), description.encode(),
                                            1 if tagged else 0)

    def wait_for_module(self, serial, freq_word, level_word, timeout=5.0):
        end = time.monotonic() + timeout
        f, level = _u32(), _u32()
        while True:
            self.d2xx.ZsSimD2xx_ModuleState(serial.encode(), ctypes.byref(f),
                                            ctypes.byref(level), None, None)
            if (f.value, level.value) == (freq_word, level_word):
                return True
            if time.monotonic() > end:
                return False
            time.sleep(0.005)

    def add_visa(self, resource, identity):
        self.visa.ZsSimVisa_AddInstrument(resource.encode(), identity.encode())

    def visa_log(self, resource):
        out = ctypes.create_string_buffer(4096)
        self.visa.ZsSimVisa_Log(resource.encode(), out, len(out))
        return out.value.decode()

    @classmethod
    def fresh_address(cls):
        """A loopback address of its own for each network instrument (in host order), so
        instruments on fixed ports never meet one left by another test or test program."""
        cls._next_address += 1
        return 0x7F000001 | cls._pid_part << 16 | (cls._next_address % 250) << 8

    @staticmethod
    def dotted(address):
        return ".".join(str(address >> shift & 0xFF) for shift in (24, 16, 8, 0))

    @contextmanager
    def wifi(self, address, channel_code, serials=(0x31011, 0x31012), records_per_second=10):
        handle = self.d2xx.ZsSimNet_StartWiFi(address, channel_code, serials[0], serials[1],
                                              records_per_second)
        assert handle, "the Wi-Fi instrument's ports are taken"
        try:
            yield handle
        finally:
            self.d2xx.ZsSimNet_Stop(handle)

    @contextmanager
    def ethernet(self, address, serial, records_per_second=10):
        handle = self.d2xx.ZsSimNet_StartEthernet(address, serial, records_per_second)
        if not handle:
            pytest.skip("UDP port 22 on loopback is not available")
        try:
            yield handle
        finally:
            self.d2xx.ZsSimNet_Stop(handle)

    def wait_for_command(self, handle, channel, name, timeout_ms=3000, skip=0):
        """The first value of the command `name` the instrument received, or None."""
        value = ctypes.c_int64(-1)
        if self.d2xx.ZsSimNet_WaitForCommand(handle, channel, name.encode(), timeout_ms, skip,
                                             ctypes.byref(value)) != 1:
            return None
        return value.value


@pytest.fixture(scope="session")
def simulators(bin_dir):
    return Simulators(bin_dir)


@pytest.fixture
def sim(lib, simulators):
    """The simulators, empty; the device list is freed after the test before they are reset,
    so no I/O thread outlives the devices it reads."""
    simulators.reset()
    yield simulators
    lib.native.K427_FreeFList()
    simulators.reset()

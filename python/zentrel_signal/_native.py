"""Loading the library and the C prototypes of its exports, as the header declares them."""

import ctypes
import os
import sys
from pathlib import Path

from .errors import ExportMissingError, LibraryNotFoundError

if sys.platform == "win32":
    LIBRARY_NAME = "ZentrelSignal.dll"
    _Loader = getattr(ctypes, "WinDLL", ctypes.CDLL)  # __stdcall exports
    WCHAR = ctypes.c_wchar
else:
    LIBRARY_NAME = "libZentrelSignal.so"
    _Loader = ctypes.CDLL
    WCHAR = ctypes.c_uint16  # UTF-16 code units

_i32, _u32, _f64 = ctypes.c_int32, ctypes.c_uint32, ctypes.c_double
_f64p = ctypes.POINTER(ctypes.c_double)
_i32p = ctypes.POINTER(ctypes.c_int32)
_wbuf = ctypes.POINTER(WCHAR)
_wtext = ctypes.c_wchar_p if sys.platform == "win32" else _wbuf  # a text argument

SIGNAL_SEND_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.POINTER(ctypes.c_uint8), _i32, _i32)

# name: (result, argument types), in the header's order.
PROTOTYPES = {
    "K427_GetLibraryVersion": (_i32, []),
    "K427_GetDeviceCount": (_i32, []),
    "K427_GetDeviceType": (_i32, [_i32]),
    "K427_GetDeviceRange": (_i32, [_i32]),
    "K427_GetDeviceVIN": (_i32, [_i32]),
    "K427_GetStartStopState": (_i32, [_i32]),
    "K427_GetOverflowState": (_i32, [_i32, _i32]),
    "K427_GetUnderrangeState": (_i32, [_i32, _i32]),
    "K427_IsDeviceOnLine": (_i32, [_i32]),
    "K427_IsDeviceHighSpeed": (_i32, [_i32]),
    "K427_GetChannelN": (_i32, [_i32]),
    "K427_GetFSampling": (_f64, [_i32]),
    "K427_GetCorrection": (_f64, [_i32, _i32]),
    "K427_GetSensor": (_f64, [_i32, _i32]),
    "K427_GetKBase": (_f64, [_i32, _i32]),
    "K427_GetBaseLevel": (_f64, [_i32, _i32]),
    "K427_GetDateTime": (_f64, [_i32]),
    "K427_WaitForTelePacket": (_i32, [_i32, _u32]),
    "K427_GetWPtr": (_f64p, [_i32]),
    "K427_RegisterCallbackForSignalSend": (None, [_i32, SIGNAL_SEND_CALLBACK, _i32]),
    "GetTeleType": (_i32, []),
    "K427_GetData": (_f64, [_i32, _i32, _i32, _i32, _i32]),
    "K427_GetAverName": (_i32, [_i32, _i32, _i32, _wbuf, _i32]),
    "K427_GetBandName": (_i32, [_i32, _i32, _i32, _i32, _wbuf, _i32]),
    "GetSpectrum": (_i32, [_f64p, _i32]),
    "K427_BuildFList": (_i32, []),
    "K427_BuildL700List": (_i32, []),
    "QM730_BuildQM730List": (_i32, []),
    "K427_FreeFList": (_i32, []),
    "K427_ReconnectDevice": (_i32, [_i32]),
    "K427_ReconnectDeviceSoft": (_i32, [_i32]),
    "K427_AttachWiFiDevice": (_i32, [_wtext, _wtext, _i32p]),
    "K427_AttachEthDevice": (_i32, [_wtext, _i32p]),
    "TurnOnTele": (_i32, [_i32]),
    "TurnOffTele": (_i32, []),
    "K427_Configure": (None, [_u32, _f64p, _i32]),
    "K427_SelectVirtualDevice": (_i32, [_u32, _i32]),
    "K427_SwitchOffVirtualDevice": (None, [_u32]),
    "K427_OpenFile": (_i32, [_wtext]),
    "K427_GetNumRecords": (_i32, [_i32]),
    "K427_SetToRecord": (_i32, [_i32, _i32]),
    "K427_CloseFile": (None, [_i32]),
    "K427_SetSMode": (_i32, [_u32, _i32]),
    "K427_SendResetCmd": (None, [_i32]),
    "K427_SendStartStopCmd": (None, [_i32]),
    "K427_SendStartCmd": (None, [_i32]),
    "K427_SendStopCmd": (None, [_i32]),
    "K427_SendRangeCmd": (None, [_i32, _i32]),
    "K427_SendPolCmd": (None, [_i32, _i32]),
    "K427_SendIcpModeCmd": (None, [_i32, _i32]),
    "K427_SendZChModeCmd": (None, [_i32, _i32]),
    "K427_ResetDevice": (None, [_i32]),
    "K427_SetDateTime": (None, [_i32]),
    "K427_SendSigRegModeCmd": (None, [_i32, _f64p, _f64p, _u32]),
    "K427_SendCalibrationCmd": (None, [_i32, _i32, _f64p, _f64p, _f64p]),
    "K427_SendSetBandsCmd": (None, [_i32, _f64p, _i32, _i32p]),
    "K427_SendSetBandsCmdLF": (None, [_i32, _f64p, _i32]),
    "QM730_SetAmp": (_i32, [_i32, _f64]),
    "QM730_SetFrequency": (_i32, [_i32, _f64]),
    "QM730_SetLevel": (_i32, [_i32, _f64]),
    "K427_BuildGenList": (_i32, []),
    "K427_GetGenCount": (_i32, []),
    "K427_GetGenName": (_i32, [_i32, _wbuf, _i32]),
    "K427_GenSetFreq": (_i32, [_i32, _f64, _i32]),
    "K427_GenSetLevel": (_i32, [_i32, _f64, _i32]),
    "K427_GenSetOffset": (_i32, [_i32, _f64, _i32]),
    "K427_GenSetUnits": (_i32, [_i32, _i32, _i32]),
    "K427_GenSetOutputState": (_i32, [_i32, _i32, _i32]),
    "K427_GenSetOutputLoad": (_i32, [_i32, _f64, _i32]),
    "K427_GenSetSignalType": (_i32, [_i32, _i32, _i32]),
}


_SHARED = {}


def _candidates(path):
    if path:
        yield Path(path)
        return
    env = os.environ.get("ZENTREL_SIGNAL_LIBRARY")
    if env:
        yield Path(env)
        return
    # From the source tree: the native build beside it.
    root = Path(__file__).resolve().parents[2]
    for preset in ("native", "asan"):
        yield root / "build" / preset / "bin" / LIBRARY_NAME
    yield Path(LIBRARY_NAME)  # the system's search order


class Native:
    """The loaded library: each export, typed as the header declares it, as an attribute.

    An export the loaded library lacks raises ExportMissingError when used; it is never
    replaced by something that pretends to work."""

    def __init__(self, path=None):
        errors = []
        for candidate in _candidates(path):
            if candidate.parent != Path(".") and not candidate.exists():
                errors.append(f"{candidate}: no such file")
                continue
            try:
                self._dll = _Loader(str(candidate))
                self.path = candidate
                break
            except OSError as e:
                errors.append(f"{candidate}: {e}")
        else:
            raise LibraryNotFoundError(
                "cannot load the ZentrelSignal library (set ZENTREL_SIGNAL_LIBRARY to its path): "
                + "; ".join(errors))
        self._functions = {}
        # What every Native of the same loaded library shares (the library's state is
        # process-wide): the generator list's generation, buffers lent to the library.
        self.state = _SHARED.setdefault(self._dll._handle, {})

    def has(self, name):
        try:
            getattr(self._dll, name)
            return True
        except AttributeError:
            return False

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        functions = self.__dict__.setdefault("_functions", {})
        if name in functions:
            return functions[name]
        if name not in PROTOTYPES:
            raise AttributeError(f"{name} is not an export of the ZentrelSignal header")
        try:
            f = getattr(self._dll, name)
        except AttributeError:
            raise ExportMissingError(f"the loaded library has no export {name}") from None
        f.restype, f.argtypes = PROTOTYPES[name]
        functions[name] = f
        return f


def wide(text):
    """A zero-terminated UTF-16 buffer for a text argument (None stays a null pointer)."""
    if text is None or sys.platform == "win32":
        return text
    units = text.encode("utf-16-le")
    return (WCHAR * (len(units) // 2 + 1)).from_buffer_copy(units + b"\0\0")


def text_of(buffer):
    """The zero-terminated UTF-16 text in a buffer."""
    if sys.platform == "win32":
        return buffer.value
    units = bytearray()
    for u in buffer:
        if u == 0:
            break
        units += u.to_bytes(2, "little")
    return units.decode("utf-16-le", errors="replace")

"""ZentrelSignal from Python: instruments, recorded files and generators through the
library's exports (ctypes; NumPy arrays for spectra and signals when NumPy is present).

    import zentrel_signal as zs
    lib = zs.Library()
    with lib.device_list(zs.Link.USB) as devices:    # freed at the end of the block
        for d in devices:
            if d.wait_for_packet(2000):
                print(d.serial_number, d.value(0, 1, 0, 0))
    with lib.open_file("sample-current.bin") as f:
        for record in f.records():
            print(f.date_time, f.value(0, 1, 0, 0))
"""

from .errors import (AttachError, DeviceNotFoundError, ExportMissingError, FileOpenError,
                     GeneratorError, LibraryNotFoundError, NoDescriptionError, ReconnectError,
                     RecordError, ZentrelSignalError)
from .library import (FILE_ID_BASE, NO_VALUE, SPECTRUM_BINS, Cell, Device,
                      DeviceList, Generator, Library, Link, LinkKind, Mode, QM730, RecordedFile,
                      SignalBuffer, Tele, Units, Waveform, ole_to_datetime,
                      spectrum_frequencies)

__version__ = "2.11"

__all__ = [
    "AttachError", "Cell", "Device", "DeviceList", "DeviceNotFoundError", "ExportMissingError",
    "FILE_ID_BASE", "FileOpenError", "Generator", "GeneratorError", "Library",
    "LibraryNotFoundError", "Link", "LinkKind", "Mode", "NO_VALUE", "NoDescriptionError",
    "QM730", "ReconnectError", "RecordError", "RecordedFile",
    "SPECTRUM_BINS", "SignalBuffer", "Tele", "Units", "Waveform", "ZentrelSignalError",
    "ole_to_datetime", "spectrum_frequencies",
]

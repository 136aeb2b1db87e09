"""ZentrelSignal from Python: instruments, recorded files and generators through the
library's exports (ctypes; NumPy arrays for spectra and signals when NumPy is present).

    import zentrel_signal as zs
    lib = zs.Library()
    with lib.open_file("sample-current.bin") as f:
        for record in f.records():
            print(f.date_time, f.value(0, 1, 0, 0))
"""

from .errors import (DeviceNotFoundError, ExportMissingError, FileOpenError,
                     LibraryNotFoundError, NoDescriptionError, RecordError, ZentrelSignalError)
from .library import (FILE_ID_BASE, NO_VALUE, SPECTRUM_BINS, Cell, Device, Library, LinkKind,
                      Mode, QM730, RecordedFile, ole_to_datetime)

__version__ = "2.11"

__all__ = [
    "Cell", "Device", "DeviceNotFoundError", "ExportMissingError", "FILE_ID_BASE",
    "FileOpenError", "Library", "LibraryNotFoundError", "LinkKind", "Mode", "NO_VALUE",
    "NoDescriptionError", "QM730", "RecordError", "RecordedFile", "SPECTRUM_BINS",
    "ZentrelSignalError", "ole_to_datetime",
]

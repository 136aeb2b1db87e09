"""The library, its recorded files and its queries through the Pythonic names."""

import datetime
import subprocess
import sys
from pathlib import Path

import pytest

import zentrel_signal as zs


def test_library_without_devices(lib):
    assert lib.version == (2, 11)
    assert lib.device_count == 0
    assert lib.devices() == []
    assert lib.tele_type is None
    with pytest.raises(zs.DeviceNotFoundError):
        lib.device(0)
    with pytest.raises(zs.ZentrelSignalError):
        lib.spectrum()
    # Commands to a device that is not there: refused where the export says so, else no effect.
    ghost = zs.QM730(lib.native, 3)
    with pytest.raises(zs.DeviceNotFoundError):
        ghost.set_mode(zs.Mode.RAW_SIGNAL)
    for setter in (ghost.set_amplitude, ghost.set_frequency, ghost.set_level):
        with pytest.raises(zs.ZentrelSignalError):
            setter(10)
    ghost.start()
    ghost.calibrate(0, 0.5, 50.0, 1.0)
    ghost.select_bands(1000.0, 2, [1, 2, 3, 4, 5, 6])
    assert lib.device_count == 0


@pytest.mark.parametrize("ole, expected", [
    (0.0, None),
    (2.5, datetime.datetime(1900, 1, 1, 12)),
    (45429.0 + (10 * 3600 + 20 * 60 + 30) / 86400, datetime.datetime(2024, 5, 17, 10, 20, 30)),
    (-1.25, datetime.datetime(1899, 12, 29, 6)),
])
def test_ole_dates(ole, expected):
    assert zs.ole_to_datetime(ole) == expected


def test_recorded_file_records_times_and_values(lib, sample):
    with lib.open_file(sample) as f:
        assert f.index >= zs.FILE_ID_BASE
        assert len(f) == 6
        assert (f.device_type, f.serial_number) == (28, 0x00031001)
        assert f.online
        for record in f.records():
            assert f.record == record
            assert f.date_time == datetime.datetime(2024, 5, 17, 10, 20, 30 + 2 * record)
            cells = f.cells()
            assert len(cells) > 100
            native = lib.native
            for c in cells:
                raw = native.K427_GetData(f.index, c.channel, c.band_set - 1, c.averaging, c.band)
                assert c.value == (None if raw == zs.NO_VALUE else raw)
            labelled = [c for c in cells if c.band_label]
            assert labelled and all(c.band_label == f.band_name(c.band_set, c.averaging, c.band)
                                    for c in labelled[:20])
        f.seek(1)
        assert f.overflow(0) == 3
        f.seek(0)
        assert f.overflow(0) == 0
        file_id = f.index
    assert lib.native.K427_IsDeviceOnLine(file_id) == 0  # closed by the with block


def test_recorded_file_failures(lib, bin_dir, sample, tmp_path):
    with pytest.raises(zs.FileOpenError):
        lib.open_file(tmp_path / "missing.bin")
    with pytest.raises(zs.NoDescriptionError):
        lib.open_file(bin_dir / "TeleDescFile.bin")
    f = lib.open_file(sample)
    for bad in (6, -1):
        with pytest.raises(zs.RecordError):
            f.seek(bad)
    f.close()
    f.close()  # twice is harmless
    with pytest.raises(zs.DeviceNotFoundError):
        len(f)


def test_non_ascii_path(lib, sample, tmp_path):
    copy = tmp_path / "запись 1.bin"
    copy.write_bytes(sample.read_bytes())
    with lib.open_file(copy) as f:
        assert len(f) == 6
        assert f.averaging_name(1, 1) != ""


WITHOUT_NUMPY = """
import sys
sys.modules["numpy"] = None  # as if it were not installed
sys.path.insert(0, sys.argv[1])
import zentrel_signal as zs
f = zs.spectrum_frequencies(65536.0)
print(type(f).__name__, len(f), f[0], f[-1])
"""


def test_spectrum_frequencies_with_and_without_numpy():
    f = zs.spectrum_frequencies(65536.0)  # one hertz per bin of the 65536-point transform
    assert (len(f), f[0], f[-1]) == (zs.SPECTRUM_BINS, 273.0, 10922.0)
    assert zs.spectrum_frequencies(25600.0)[1] == 274 * 25600.0 / 65536
    done = subprocess.run([sys.executable, "-c", WITHOUT_NUMPY,
                           str(Path(zs.__file__).resolve().parents[1])],
                          capture_output=True, text=True, timeout=60)
    assert done.stdout.split() == ["list", "10650", "273.0", "10922.0"], done.stderr

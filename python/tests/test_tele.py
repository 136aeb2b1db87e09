"""Tele mode, raw signals lent to the host and virtual devices through the Pythonic names,
with simulated instruments that stream tones in raw-signal mode."""

import math
import time

import pytest

import zentrel_signal as zs

# Type 118 samples one channel at 48000 Hz: both tones sit exactly on spectrum bins (2048 and
# 4096 of the 65536-point transform).
RATE = 48000.0
TONES = ((1500.0, 8000.0), (3000.0, 2000.0))
SENSOR = ("TL000001A|Brevane DOUT20|family=tagged,rate=2304000,type=118,program=60,vin=0x41001,"
          "signal=1500:8000+3000:2000")


def level(amplitude):
    return 10 * math.log10(amplitude * amplitude / 2)


def eventually(condition, seconds=10.0):
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.02)
    return True


def test_tele_spectrum_shows_the_tones(lib, sim):
    sim.plug(SENSOR)
    with lib.tele() as tele:
        assert (tele.sensor.serial_number, len(tele), lib.tele_type) == (0x41001, 1,
                                                                         zs.Mode.RAW_SIGNAL)

        def at_their_levels(window):
            spectrum = tele.spectrum(window)
            return all(abs(spectrum[k - 273] - level(a)) < 0.1
                       for k, (_, a) in zip((2048, 4096), TONES))
        # Once the filter's fade-in is over and a full window of samples is in the ring.
        assert eventually(lambda: at_their_levels(False) and at_their_levels(True))
        assert tele.sensor.sampling_rate == RATE
        spectrum, frequencies = list(tele.spectrum()), list(tele.frequencies())
        strongest = max(range(len(spectrum)), key=spectrum.__getitem__)
        assert (frequencies[strongest], frequencies[4096 - 273]) == (1500.0, 3000.0)
    assert lib.device_count == 0
    with pytest.raises(zs.ZentrelSignalError):
        lib.spectrum()


def test_tele_without_instruments(lib, sim):
    with pytest.raises(zs.DeviceNotFoundError):
        lib.tele()
    assert lib.device_count == 0


def component(x, frequency):
    """Amplitude and phase of the component at `frequency` in x (whole periods)."""
    re = im = 0.0
    for n, v in enumerate(x):
        w = 2 * math.pi * frequency * n / RATE
        re += v * math.cos(w)
        im += v * math.sin(w)
    return 2 * math.hypot(re, im) / len(x), math.atan2(re, im)


def test_a_lent_buffer_holds_the_signal_across_its_wrap(lib, sim):
    sim.plug(SENSOR)
    with lib.device_list(zs.Link.USB) as devices:
        device = devices[0]
        ring = device.bind_signal_buffer(72000)  # 1.5 s
        assert ring.position == 0
        device.set_mode(zs.Mode.RAW_SIGNAL)
        # Past the fade-in and once round the ring, then a second that spans its end.
        assert eventually(lambda: ring.position > 60000)
        assert eventually(lambda: 1000 < ring.position < 30000)
        x = [float(v) for v in ring.latest(48000 + 2000)[:48000]]
        assert len(x) == 48000
        fit = [component(x, f) for f, _ in TONES]
        for (_, amplitude), (got, _) in zip(TONES, fit):
            assert abs(got - amplitude) < amplitude * 0.002
        residual = sum((v - sum(a * math.sin(2 * math.pi * f * n / RATE + p)
                                for (f, _), (a, p) in zip(TONES, fit))) ** 2
                       for n, v in enumerate(x))
        assert math.sqrt(residual / len(x)) < 3.0
        with pytest.raises(zs.DeviceNotFoundError):
            zs.Device(lib.native, 1).bind_signal_buffer(10)


def test_virtual_device_commands_reach_their_instrument(lib, sim):
    sim.plug("VD000001A|Brevane DOUT20|family=tagged,rate=2304000,vin=0x51001",
             "VD000002A|Brevane DOUT20|family=tagged,rate=2304000,vin=0x51002")
    slm = bytes([14, 0]) + "SLM".encode("utf-16-le") + b"\0\0"  # program 5's name
    switch_off = bytes([19, 0, 0x45, 0x01])
    with lib.device_list(zs.Link.USB) as devices:
        with pytest.raises(zs.DeviceNotFoundError):
            zs.Device(lib.native, 2).select_program(5)
        devices[1].select_program(5)
        assert slm in sim.written("VD000002A") and slm not in sim.written("VD000001A")
        assert [d.serial_number for d in devices] == [0x51001, 0x51002]  # re-identified
        devices[0].switch_off()
        assert switch_off in sim.written("VD000001A")
        assert switch_off not in sim.written("VD000002A")

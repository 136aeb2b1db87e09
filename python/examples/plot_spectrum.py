#!/usr/bin/env python3
"""Plot the live spectrum of the first USB instrument with Matplotlib (tele mode).

    python3 plot_spectrum.py                        # a window, refreshed until it is closed
    python3 plot_spectrum.py --save spectrum.png    # one plot to a file

Needs NumPy and Matplotlib (pip install "./python[plot]"). Prints the strongest bin."""

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # the source tree's package

import zentrel_signal as zs  # noqa: E402

RING_POINTS = 65536  # the spectrum's samples


def strongest(frequencies, spectrum):
    k = max(range(len(spectrum)), key=lambda i: spectrum[i])
    return frequencies[k], spectrum[k]


def wait_for_samples(sensor, limit):
    """Waits until the sensor has filled the spectrum's samples once (at most `limit` s)."""
    end = time.monotonic() + limit
    while time.monotonic() < end and sensor.sampling_rate <= 0:
        sensor.wait_for_packet(100)
    rate = sensor.sampling_rate * max(1, sensor.channel_count)
    if rate > 0:
        time.sleep(min(max(0.0, end - time.monotonic()), 1.2 * RING_POINTS / rate))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--save", help="write one plot to this file instead of a window")
    parser.add_argument("--seconds", type=float, default=10.0,
                        help="longest wait for the instrument's first samples")
    parser.add_argument("--library", help="the library's path (default: found by itself)")
    args = parser.parse_args()
    try:
        import matplotlib  # imported here: the package itself needs no Matplotlib
        if args.save:
            matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("this example needs Matplotlib: pip install \"./python[plot]\"", file=sys.stderr)
        return 2

    lib = zs.Library(args.library)
    try:
        tele = lib.tele(zs.Mode.RAW_SIGNAL)
    except zs.DeviceNotFoundError:
        print("no instruments found", file=sys.stderr)
        return 1
    with tele:  # leaving it stops the instrument and releases the device list
        sensor = tele.sensor
        wait_for_samples(sensor, args.seconds)
        print(f"device 0: type {sensor.device_type}, serial {sensor.serial_number}, "
              f"{sensor.sampling_rate} Hz sampling")
        frequencies = tele.frequencies()
        spectrum = tele.spectrum()
        figure, axes = plt.subplots(figsize=(10, 5))
        (line,) = axes.plot(frequencies, spectrum, linewidth=0.8)
        axes.set_xscale("log")
        axes.set_xlabel("frequency, Hz")
        axes.set_ylabel("level, dB")
        axes.set_title(f"Instrument {sensor.serial_number}: live spectrum")
        axes.grid(True, which="both", alpha=0.3)
        if args.save:
            figure.savefig(args.save, dpi=100)
            frequency, level = strongest(frequencies, spectrum)
            print(f"strongest bin: {frequency!r} Hz at {level!r} dB")
            print(f"wrote {args.save}")
            return 0
        while plt.fignum_exists(figure.number):
            line.set_ydata(tele.spectrum())
            figure.canvas.draw_idle()
            plt.pause(0.5)
    return 0


if __name__ == "__main__":
    sys.exit(main())

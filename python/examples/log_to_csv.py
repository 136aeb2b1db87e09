#!/usr/bin/env python3
"""List the instruments the library finds and log their values to CSV.

    python3 log_to_csv.py levels.csv --seconds 10           # USB instruments
    python3 log_to_csv.py levels.csv --wifi 192.168.4.1     # a Wi-Fi instrument
    python3 log_to_csv.py levels.csv --ethernet             # Ethernet instruments (broadcast)
    python3 log_to_csv.py levels.csv --file REC.bin         # a recorded file, every record

Each row: when, device, record time, channel, band set, averaging, band, label, value. Values
are written exactly (repr gives the shortest text that reads back as the same double)."""

import argparse
import csv
import datetime
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # the source tree's package

import zentrel_signal as zs  # noqa: E402

HEADER = ["logged", "source", "record_time", "channel", "band_set", "averaging",
          "averaging_name", "band", "band_label", "value"]


def rows(source_name, source, logged):
    stamp = source.date_time.isoformat() if source.date_time else ""
    for c in source.cells():
        yield [logged, source_name, stamp, c.channel, c.band_set, c.averaging, c.averaging_name,
               c.band, c.band_label, "" if c.value is None else repr(c.value)]


def log_file(lib, path, writer):
    with lib.open_file(path) as f:
        print(f"{path}: device type {f.device_type}, {len(f)} records")
        for record in f.records():
            writer.writerows(rows(f"{Path(path).name}#{record}", f, ""))


def log_live(lib, args, writer):
    # The list is freed when the block ends: every device stops and switches its stream off.
    with lib.device_list() as devices:
        try:
            if args.wifi:
                devices.attach_wifi(args.wifi, args.local_address)
            elif args.ethernet is not None:
                devices.attach_ethernet(args.ethernet or None)
            else:
                devices.add(zs.Link.L700 if args.l700 else zs.Link.USB)
        except zs.AttachError as e:
            print(e, file=sys.stderr)
            return 1
        if not len(devices):
            print("no instruments found", file=sys.stderr)
            return 1
        for d in devices:
            print(f"device {d.index}: type {d.device_type}, serial {d.serial_number}, "
                  f"{d.channel_count} channel(s), online {d.online}")
        end = time.monotonic() + args.seconds
        while time.monotonic() < end:
            for d in devices:
                if d.wait_for_packet(200):
                    now = datetime.datetime.now().isoformat(timespec="milliseconds")
                    writer.writerows(rows(f"device {d.index}", d, now))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", help="the CSV file to write")
    parser.add_argument("--file", help="log a recorded file instead of live instruments")
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to log live values")
    live = parser.add_mutually_exclusive_group()
    live.add_argument("--wifi", metavar="ADDRESS", help="the Wi-Fi instrument at this address")
    live.add_argument("--ethernet", metavar="ADDRESS", nargs="?", const="",
                      help="Ethernet instruments at this address (none: every adapter's "
                           "broadcast address)")
    live.add_argument("--l700", action="store_true", help="L700 instruments instead of USB")
    parser.add_argument("--local-address", help="the local address for --wifi (default: the "
                                                "adapter on the instrument's network)")
    parser.add_argument("--library", help="the library's path (default: found by itself)")
    args = parser.parse_args()
    lib = zs.Library(args.library)
    with open(args.output, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(HEADER)
        status = log_file(lib, args.file, writer) if args.file else log_live(lib, args, writer)
    print(f"wrote {args.output}")
    return status or 0


if __name__ == "__main__":
    sys.exit(main())

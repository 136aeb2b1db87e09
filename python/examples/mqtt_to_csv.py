#!/usr/bin/env python3
"""Collect what many stations publish with `zsig watch --mqtt` into one CSV file.

    python3 mqtt_to_csv.py values.csv                                  # zentrel/# on localhost
    python3 mqtt_to_csv.py values.csv --broker mqtt://broker.site:1883 --prefix zentrel/hall2
    python3 mqtt_to_csv.py values.csv --broker mqtts://broker.site --cafile ca.crt --session store

Each row: station (the topic prefix), serial number, type, link, sequence number, time, record
time, channel, band set, averaging, band, label, value. Values are written exactly (repr gives
the shortest text that reads back as the same double). With --session the broker keeps the
subscription while this program is away and hands over what it missed. User name and password
come from ZSIG_MQTT_USERNAME and ZSIG_MQTT_PASSWORD. Needs paho-mqtt (Debian: python3-paho-mqtt)."""

import argparse
import csv
import json
import os
import sys
import threading
import time
from urllib.parse import urlparse

import paho.mqtt.client as mqtt

HEADER = ["station", "serial", "type", "link", "seq", "time", "record_time", "channel",
          "band_set", "averaging", "averaging_name", "band", "band_label", "value"]


def rows(topic, message):
    """The CSV rows of one values message published on PREFIX/SERIAL/values."""
    station = topic.rsplit("/", 2)[0]
    head = [station, message["serial"], message["type"], message["link"], message["seq"],
            message["time"], message.get("record_time", "")]
    for s in message["sets"]:
        for band, (label, value) in enumerate(zip(s["bands"], s["values"])):
            yield head + [s["channel"], s["band_set"], s["averaging"], s["averaging_name"], band,
                          label, "" if value is None else repr(value)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", help="CSV file to write")
    parser.add_argument("--broker", default="mqtt://127.0.0.1:1883",
                        help="mqtt://HOST[:PORT] or mqtts://HOST[:PORT]")
    parser.add_argument("--prefix", default="zentrel", help="topics below this prefix")
    parser.add_argument("--cafile", help="mqtts: the certificate authorities to trust")
    parser.add_argument("--session", help="a session the broker keeps under this client id")
    parser.add_argument("--count", type=int, default=0, help="stop after this many records")
    parser.add_argument("--seconds", type=float, default=0, help="stop after this many seconds")
    args = parser.parse_args()

    url = urlparse(args.broker)
    if url.scheme not in ("mqtt", "mqtts") or not url.hostname:
        parser.error("the broker is mqtt://HOST[:PORT] or mqtts://HOST[:PORT]")
    client = mqtt.Client(client_id=args.session or "", clean_session=args.session is None)
    if os.environ.get("ZSIG_MQTT_USERNAME"):
        client.username_pw_set(os.environ["ZSIG_MQTT_USERNAME"],
                               os.environ.get("ZSIG_MQTT_PASSWORD"))
    if url.scheme == "mqtts":
        client.tls_set(ca_certs=args.cafile)

    done = threading.Event()
    records = 0
    refused = False
    with open(args.output, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(HEADER)

        def on_connect(client, userdata, flags, rc):
            nonlocal refused
            if rc != 0:
                refused = True
                print(f"broker refused: {mqtt.connack_string(rc)}", file=sys.stderr)
                done.set()
                return
            client.subscribe(f"{args.prefix}/#", qos=1)

        def on_subscribe(client, userdata, mid, granted_qos):
            print(f"subscribed to {args.prefix}/#", flush=True)

        def on_message(client, userdata, msg):
            nonlocal records
            # Messages still arriving before the loop stops are past the count: not written.
            if not msg.topic.endswith("/values") or (args.count and records >= args.count):
                return
            writer.writerows(rows(msg.topic, json.loads(msg.payload)))
            f.flush()
            records += 1
            if args.count and records >= args.count:
                done.set()

        client.on_connect = on_connect
        client.on_subscribe = on_subscribe
        client.on_message = on_message
        try:
            client.connect(url.hostname, url.port or (8883 if url.scheme == "mqtts" else 1883))
        except OSError as e:
            print(f"cannot connect to {args.broker}: {e}", file=sys.stderr)
            return 1
        client.loop_start()
        try:
            done.wait(args.seconds or None)
        except KeyboardInterrupt:
            pass
        client.loop_stop()
        client.disconnect()
    print(f"{records} records written to {args.output}")
    return 1 if refused or records < args.count else 0


if __name__ == "__main__":
    sys.exit(main())

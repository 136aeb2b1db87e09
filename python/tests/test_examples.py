"""The examples run as a user runs them, against the simulated instruments."""

import csv
import os
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

import zentrel_signal as zs

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def run(lib, script, *args, env=None):
    environment = dict(os.environ, ZENTREL_SIGNAL_LIBRARY=str(lib.path), **(env or {}))
    return subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                          env=environment, capture_output=True, text=True, timeout=120)


def read_rows(path):
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    assert rows
    return rows


def test_log_a_recorded_file_exactly(lib, sample, tmp_path):
    out = tmp_path / "file.csv"
    done = run(lib, "log_to_csv.py", out, "--file", sample)
    assert done.returncode == 0, done.stderr
    rows = read_rows(out)
    with lib.open_file(sample) as f:
        expected = []
        for record in f.records():
            stamp = f.date_time.isoformat()
            expected += [(f"{sample.name}#{record}", stamp, str(c.channel), str(c.band_set),
                          str(c.averaging), str(c.band), c.value) for c in f.cells()]
    got = [(r["source"], r["record_time"], r["channel"], r["band_set"], r["averaging"],
            r["band"], None if r["value"] == "" else float(r["value"])) for r in rows]
    assert got == expected  # every double read back equals the library's


@pytest.mark.parametrize("link", ["usb", "wifi"])
def test_log_live_instruments(lib, sim, tmp_path, link):
    out = tmp_path / "live.csv"
    if link == "usb":
        # A process of its own: its simulated driver plugs the instrument from the environment.
        done = run(lib, "log_to_csv.py", out, "--seconds", 1, env={
            "ZS_SIM_D2XX": "TG000001A|Brevane DOUT20|family=tagged,rate=2304000,vin=0x31001,"
                           "records=20"})
    else:
        address = sim.fresh_address()
        text = sim.dotted(address)
        with sim.wifi(address, 0, serials=(0x31001, 0), records_per_second=20):
            done = run(lib, "log_to_csv.py", out, "--seconds", 1, "--wifi", text,
                       "--local-address", text)
    assert done.returncode == 0, done.stderr
    assert "serial 200705" in done.stdout  # 0x31001
    rows = read_rows(out)
    assert {r["source"] for r in rows} == {"device 0"}
    assert len({r["logged"] for r in rows}) > 1  # more than one record
    for r in rows[:40]:
        if r["value"] and r["band_set"] == "1":
            cell = zs.Cell(int(r["channel"]), 1, int(r["averaging"]), "", int(r["band"]), "",
                           float(r["value"]))
            assert sim.value_sent((28, 40, 0x31001), cell), r


def test_log_without_instruments(lib, sim, tmp_path):
    text = sim.dotted(sim.fresh_address())
    for args, message in ((["--seconds", 0], "no instruments found"),
                          (["--wifi", text, "--local-address", text], "no Wi-Fi instrument")):
        done = run(lib, "log_to_csv.py", tmp_path / "none.csv", *args)
        assert done.returncode == 1 and message in done.stderr, done.stderr


def test_plot_a_live_spectrum(lib, tmp_path):
    pytest.importorskip("matplotlib")  # the example needs it; the package does not
    out = tmp_path / "spectrum.png"
    done = run(lib, "plot_spectrum.py", "--save", out, env={
        "ZS_SIM_D2XX": "TL000001A|Brevane DOUT20|family=tagged,rate=2304000,type=118,program=60,"
                       "vin=0x41001,signal=1500:8000"})
    assert done.returncode == 0, done.stderr
    assert "strongest bin: 1500.0 Hz" in done.stdout
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    done = run(lib, "plot_spectrum.py", "--save", out)
    assert done.returncode == 1 and "no instruments found" in done.stderr


def test_collect_published_records_from_a_broker(lib, sim, tmp_path):
    """zsig watch --mqtt publishes to a Mosquitto broker on loopback, the example collects."""
    pytest.importorskip("paho.mqtt.client")  # the example needs it; the package does not
    if not shutil.which("mosquitto"):
        pytest.skip("mosquitto is not installed (scripts/install-deps.sh installs it)")
    with socket.socket() as s:  # a free loopback port for the broker of this test
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    conf = tmp_path / "mosquitto.conf"
    conf.write_text(f"listener {port} 127.0.0.1\nallow_anonymous true\n"
                    + ("user root\n" if os.getuid() == 0 else ""))
    broker = subprocess.Popen(["mosquitto", "-c", str(conf)], stderr=subprocess.DEVNULL)
    out = tmp_path / "collected.csv"
    collector = None
    try:
        deadline = time.monotonic() + 15
        while True:  # until the broker listens
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                assert time.monotonic() < deadline and broker.poll() is None
                time.sleep(0.05)
        collector = subprocess.Popen(
            [sys.executable, str(EXAMPLES / "mqtt_to_csv.py"), str(out), "--broker",
             f"mqtt://127.0.0.1:{port}", "--prefix", "zentrel/station1", "--count", "8"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert "subscribed" in collector.stdout.readline(), collector.stderr.read()
        zsig = subprocess.run(
            [str(lib.path.parent / "zsig"), "watch", "--mqtt", f"mqtt://127.0.0.1:{port}",
             "--topic", "zentrel/station1", "--duration", "2"],
            env=dict(os.environ, ZS_SIM_D2XX="TG000001A|Brevane DOUT20|family=tagged,"
                                             "rate=2304000,vin=0x31001,records=20"),
            capture_output=True, text=True, timeout=60)
        assert zsig.returncode == 0, zsig.stderr
        assert collector.wait(timeout=30) == 0, collector.stderr.read()
    finally:
        for p in (collector, broker):
            if p:
                p.kill()
                p.wait()
    rows = read_rows(out)
    assert {(r["station"], r["serial"], r["type"], r["link"]) for r in rows} == {
        ("zentrel/station1", "200705", "28", "USB")}
    assert sorted({int(r["seq"]) for r in rows}) == list(range(1, 9))  # none missing
    compared = 0
    for r in rows:
        if r["value"] and r["band_set"] == "1":
            cell = zs.Cell(int(r["channel"]), 1, int(r["averaging"]), "", int(r["band"]), "",
                           float(r["value"]))
            assert sim.value_sent((28, 40, 0x31001), cell), r
            compared += 1
    assert compared > 50

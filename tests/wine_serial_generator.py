#!/usr/bin/env python3
"""A SCPI generator on a COM port under Wine.

Starts the simulated generator behind a pseudo-terminal through the Linux simulator library,
maps that terminal to a COM port of the test's Wine prefix, runs the Windows end-to-end test
that finds, names and sets the generator through the DLL, and checks what the generator read.

usage: wine_serial_generator.py SIM_LIBRARY WINE_RUN E2E_EXE
"""
import ctypes
import os
import subprocess
import sys

IDENTITY = b"Zentrel Simulation,SG-30,ZS0030,1.0"
PORT = "com200"  # high enough to be free in any prefix


def wine_prefix(exe):
    with open(exe, "rb") as f:
        data = f.read(4096)
    pe = int.from_bytes(data[60:64], "little")
    machine = int.from_bytes(data[pe + 4:pe + 6], "little")
    if machine == 0x8664:
        return os.environ.get("ZS_WINEPREFIX64", os.path.expanduser("~/.wine-zentrel64"))
    return os.environ.get("ZS_WINEPREFIX", os.path.expanduser("~/.wine-zentrel"))


def main():
    sim_library, wine_run, exe = sys.argv[1:4]
    sim = ctypes.CDLL(sim_library)
    sim.ZsSimSerial_Start.restype = ctypes.c_void_p
    sim.ZsSimSerial_Start.argtypes = [ctypes.c_char_p]
    sim.ZsSimSerial_Path.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint32]
    sim.ZsSimSerial_Log.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint32]
    sim.ZsSimSerial_Stop.argtypes = [ctypes.c_void_p]
    generator = sim.ZsSimSerial_Start(IDENTITY)
    if not generator:
        print("no pseudo-terminal for the generator")
        return 1
    text = ctypes.create_string_buffer(4096)
    sim.ZsSimSerial_Path(generator, text, len(text))
    terminal = text.value.decode()

    # The prefix exists once Wine has run a program in it.
    subprocess.run([wine_run, exe, "--gtest_list_tests"], stdout=subprocess.DEVNULL, check=True)
    link = os.path.join(wine_prefix(exe), "dosdevices", PORT)
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(terminal, link)
    try:
        env = dict(os.environ, ZS_WINE_SERIAL_IDENTITY=IDENTITY.decode())
        run = subprocess.run([wine_run, exe, "--gtest_filter=SerialGeneratorOnAComPort.*"],
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True, timeout=600)
    finally:
        os.remove(link)
    print(run.stdout)
    sim.ZsSimSerial_Log(generator, text, len(text))
    log = text.value.decode()
    sim.ZsSimSerial_Stop(generator)
    print("the generator read:\n" + log)
    if run.returncode != 0 or "[  PASSED  ] 1 test" not in run.stdout:
        return 1
    for command in ("*IDN?", "FREQ 1000.000000", "OUTPUT2 1"):
        if command not in log:
            print("missing at the generator: " + command)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

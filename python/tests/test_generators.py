"""Generators through the Pythonic names, with the simulated VISA instruments and output
modules the library finds beside itself."""

import pytest

import zentrel_signal as zs

GENERIC = "USB0::0x2A8D::0x0001::ZS0001::INSTR"
STANFORD = "USB1::0x2A8D::0x0002::ZS0002::INSTR"
NAMES = ["Zentrel Simulation,SG-20", "StanfordResearchSystems,DS360",
         "Brevane,BRV-AX-410[DIN]", "Brevane,BRV-AX-410[DOUT]"]


@pytest.fixture
def generators(lib, sim):
    sim.add_visa(GENERIC, "Zentrel Simulation,SG-20,ZS0001,1.0")
    sim.add_visa(STANFORD, "StanfordResearchSystems,DS360,ZS0002,1.0")
    sim.add_output_module("ZS41000A", "Brevane DOUT20", tagged=True)
    sim.add_output_module("ZS41000B", "Brevane DOUT20", tagged=False)
    found = lib.generators()
    assert lib.generator_count == len(found) >= 4
    # Serial ports of the machine that answer come first; the simulated ones are the last.
    return found[-4:]


def test_names_and_settings_of_every_kind(lib, sim, generators):
    generic, stanford, din, dout = generators
    assert [g.name for g in generators] == NAMES

    generic.set_frequency(1000.0)
    generic.set_frequency(1000.0, channel=1)
    for refused in (lambda: generic.set_offset(0.0), lambda: generic.set_waveform(3),
                    lambda: generic.set_frequency(1000.0, channel=9),
                    lambda: generic.set_level(-1.0)):
        with pytest.raises(zs.GeneratorError):
            refused()
    assert sim.visa_log(GENERIC).endswith("FREQ 1000.000000\nSOURCE2:FREQ 1000.000000\n")

    stanford.set_units(zs.Units.PEAK_TO_PEAK)
    stanford.set_level(0.5)
    stanford.set_load(50.5)
    stanford.set_load(None)  # high impedance
    with pytest.raises(zs.GeneratorError):
        stanford.set_load(75.0)
    stanford.set_waveform(3)
    stanford.set_output(True)
    assert sim.visa_log(STANFORD).endswith(
        "AMPL 0.500000 VP\nTERM 0\nTERM 3\nFUNC 2\nOUTE 1\n")

    # Output modules take their settings on their status packets.
    din.set_offset(0.0)
    din.set_frequency(1000.0)
    din.set_output(True)
    din.set_level(1.0)  # -20 dB
    assert sim.wait_for_module("ZS41000B", 349525, 0x8028)
    dout.set_frequency(2000.0)
    dout.set_output(True)
    dout.set_level(0.0501187)  # -46 dB
    dout.set_waveform(zs.Waveform.SINE)
    for refused in (lambda: dout.set_offset(0.5), lambda: dout.set_units(zs.Units.PEAK_TO_PEAK),
                    lambda: dout.set_waveform(zs.Waveform.SQUARE), lambda: dout.set_load(50)):
        with pytest.raises(zs.GeneratorError):
            refused()
    assert sim.wait_for_module("ZS41000A", 699051, 0x805C)


def test_a_rebuilt_list_makes_older_generators_stale(lib, sim, generators):
    again = lib.generators()
    assert [g.name for g in again[-4:]] == NAMES
    with pytest.raises(zs.GeneratorError):
        generators[0].set_frequency(100.0)
    with pytest.raises(zs.GeneratorError):
        generators[1].name  # never asked before the rebuild


def test_no_generators(lib, sim):
    found = lib.generators()
    # Only serial ports of the machine can answer now.
    assert all(not g.name.startswith("Brevane") for g in found)
    ghost = zs.Generator(lib.native, len(found), lib.native.state["generator_generation"])
    assert ghost.name == ""
    with pytest.raises(zs.GeneratorError):
        ghost.set_frequency(1000.0)

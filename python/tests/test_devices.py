"""The device list through the Pythonic names: USB builders over the simulated D2XX, Wi-Fi and
Ethernet instruments on loopback, reconnection, and freeing the list."""

import pytest

import zentrel_signal as zs

TAGGED = "|Brevane DOUT20|family=tagged,rate=2304000"


def streamed_values(sim, device, identity, count=6):
    """Checks that values read from a streaming device are values its instrument sent."""
    assert device.wait_for_packet(5000)
    assert device.wait_for_packet(5000)  # a second record: it streams
    cells = [c for c in device.cells() if c.value is not None and c.band_set == 1][:count]
    assert cells
    for c in cells:
        assert sim.value_sent(identity, c), c


def test_usb_list_lists_streams_and_is_freed_on_exit(lib, sim):
    sim.plug("TG000001A" + TAGGED + ",vin=0x31001,records=20",
             "SY000002B|Brevane DOUT20|family=sync,rate=768000,programs=40+41,type=38,"
             "vin=0x31002",
             "MD000009A|MultiDOUT Ports2,3|family=tagged",  # refused descriptions
             "FT1234A" + TAGGED)
    with lib.device_list(zs.Link.USB) as devices:
        assert len(devices) == 2 == lib.device_count
        assert [(d.serial_number, d.device_type) for d in devices] == [(0x31001, 28),
                                                                       (0x31002, 38)]
        assert devices[-1].serial_number == 0x31002
        with pytest.raises(zs.DeviceNotFoundError):
            devices[2]
        streamed_values(sim, devices[0], (28, 40, 0x31001))
        assert devices[0].online
    assert lib.device_count == 0
    assert sim.written("MD000009A") == b"" and sim.written("FT1234A") == b""
    assert sim.written("TG000001A")[-2:] == b"\xa0\x2a"  # the stream switched off


def test_the_list_is_freed_when_the_block_raises(lib, sim):
    sim.plug("TG000001A" + TAGGED)
    with pytest.raises(RuntimeError):
        with lib.device_list(zs.Link.USB) as devices:
            assert len(devices) == 1
            raise RuntimeError("host failure")
    assert lib.device_count == 0


def test_builders_without_instruments(lib, sim):
    with lib.device_list() as devices:
        for link in zs.Link:
            assert devices.add(link) == []
        assert len(devices) == 0
        for soft in (False, True):
            with pytest.raises(zs.DeviceNotFoundError):
                devices.reconnect(0, soft=soft)


def test_builders_append_and_take_only_their_own_instruments(lib, sim):
    sim.plug("L7000001|Brevane L700|family=tagged,rate=768000,streams,vin=0x31009",
             "QM000002|Brevane QM730|family=tagged,rate=2304000,type=143,program=143",
             "TG000003A" + TAGGED + ",vin=0x31003")
    with lib.device_list(zs.Link.L700) as devices:
        assert [d.serial_number for d in devices] == [0x31009]
        generators = devices.add(zs.Link.QM730)
        assert len(generators) == 1 and isinstance(generators[0], zs.QM730)
        assert (generators[0].index, generators[0].device_type) == (1, 143)
        generators[0].set_frequency(1000.0)
        with pytest.raises(zs.ZentrelSignalError):
            generators[0].set_frequency(5e6)  # above 4 MHz
        added = devices.add(zs.Link.USB)  # appends: the listed devices keep their positions
        assert [(d.index, d.serial_number) for d in added] == [(2, 0x31003)]
        assert devices[0].serial_number == 0x31009 and devices[1].device_type == 143


def test_reconnect_keeps_the_position(lib, sim):
    sim.plug("TG000001A" + TAGGED + ",vin=0x31001,records=20")
    with lib.device_list(zs.Link.USB) as devices:
        for soft in (True, False):
            device = devices.reconnect(0, soft=soft)
            assert (device.index, device.serial_number) == (0, 0x31001)
            assert len(devices) == 1
            assert device.wait_for_packet(5000)
        sim.reset()  # unplugged: a full reconnect cannot find it again, and it stays listed
        with pytest.raises(zs.ReconnectError):
            devices.reconnect(0)
        assert len(devices) == 1


@pytest.mark.parametrize("code, serials", [(55, [0x31011, 0x31012]), (0, [0x31011]),
                                           (247, [0x31011, 0x31012])])
def test_wifi_channels_over_loopback(lib, sim, code, serials):
    address = sim.fresh_address()
    text = sim.dotted(address)
    with sim.wifi(address, code), lib.device_list() as devices:
        added = devices.attach_wifi(text, local_address=text)
        assert [d.serial_number for d in added] == serials
        assert [d.index for d in added] == list(range(len(serials)))


def test_wifi_streams_takes_commands_and_is_switched_off(lib, sim):
    address = sim.fresh_address()
    text = sim.dotted(address)
    with sim.wifi(address, 0, records_per_second=20) as instrument:
        with lib.device_list() as devices:
            (device,) = devices.attach_wifi(text, text)
            streamed_values(sim, device, (28, 40, 0x31011))
            device.set_range(2)
            # Programs from 28 on number their ranges the other way round: range 2 is code 0.
            assert sim.wait_for_command(instrument, 0, "rangeByte") == 0
        assert sim.wait_for_command(instrument, 0, "streamMode", skip=1) is not None


def test_wifi_without_an_instrument_raises(lib, sim):
    text = sim.dotted(sim.fresh_address())
    with lib.device_list() as devices:
        with pytest.raises(zs.AttachError):
            devices.attach_wifi(text, text)
        with pytest.raises(ConnectionError):  # AttachError is one
            devices.attach_wifi("not an address", text)
        assert len(devices) == 0


def test_ethernet_over_loopback(lib, sim):
    address = sim.fresh_address()
    with sim.ethernet(address, 0x31031, records_per_second=20):
        with lib.device_list() as devices:
            assert devices.attach_ethernet(sim.dotted(sim.fresh_address())) == []
            (device,) = devices.attach_ethernet(sim.dotted(address))
            assert device.serial_number == 0x31031
            streamed_values(sim, device, (28, 40, 0x31031))

"""Opening the headset, what it reports, its properties, and every failure
raising the documented exception."""

import os

import pytest

import ondira
from ondira import DeviceError, Status

from conftest import sim_library_folder

SERIAL_ROUND_TRIPS = [
    ("BaudRate", 921600, 128000),
    ("WordLength", 7, 8),
    ("StopBits", 2, 0),
    ("Parity", 4, 0),
    ("LatencyTimer", 2, 16),
    ("Read Timeout", 20, 100),
]


def test_firmware_and_radio_channels_as_the_library_reports_them(headset):
    h = headset("fast=1 fw_dongle=12 fw_headset=23 channel_dongle=9 channel_headset=9")
    assert h.firmware == {"dongle": "2.4", "headset": "3.5"}
    assert h.radio_channels == {"dongle": 9, "headset": 9}
    assert h.properties["USB FW version"] == "2.4"


def test_properties_round_trip(headset):
    h = headset("fast=1")
    assert len(h.properties) == 14 and "Parity" in h.properties and "parity" not in h.properties
    for name, value, default in SERIAL_ROUND_TRIPS:
        h.properties[name] = value
        assert h.properties[name] == value, name
        h.properties[name] = default
        assert h.properties[name] == default, name

    h.calibrate([2, 4])
    assert [h.properties[f"Channel {c} Enabled"] for c in (1, 2, 3, 4)] == [0, 1, 0, 1]
    h.properties["Channel 1 Enabled"] = True
    assert h.properties["Channel 1 Enabled"] == 1
    h.calibrate([])
    assert [h.properties[f"Channel {c} Enabled"] for c in (1, 2, 3, 4)] == [0, 0, 0, 0]

    # The headset first, then the dongle, so that the link holds.
    h.properties["Ondira transmission channel"] = 5
    h.properties["USB transmission channel"] = 5
    assert h.radio_channels == {"dongle": 5, "headset": 5}
    h.start()
    assert len(h.read(seconds=0.2)) == 50
    h.stop()


def test_serial_settings_set_while_closed_are_kept_for_the_next_open():
    h = ondira.Headset(simulate=True, sim="fast=1")
    h.properties["LatencyTimer"] = 40
    assert h.properties["LatencyTimer"] == 40
    with h:
        assert h.properties["LatencyTimer"] == 40
        h.start()
        assert len(h.read(seconds=0.2)) == 50


@pytest.mark.parametrize("name, value, error", [
    ("Baudrate", 9600, KeyError),
    (7, 1, KeyError),
    ("USB FW version", 1, TypeError),
    ("Parity", 5, ValueError),
    ("Parity", 257, ValueError),          # the library would keep only its low 8 bits
    ("Read Timeout", 300, ValueError),
    ("BaudRate", 299, ValueError),
    ("Channel 1 Enabled", 2, ValueError),
    ("USB transmission channel", 16, ValueError),
    ("LatencyTimer", 1.5, TypeError),
    ("LatencyTimer", "16", TypeError),
    ("LatencyTimer", None, TypeError),
])
def test_bad_property_assignments_are_refused_before_reaching_the_library(name, value, error):
    h = ondira.Headset(simulate=True, sim="fast=1")
    with pytest.raises(error):
        h.properties[name] = value


def test_unknown_and_undeletable_properties():
    h = ondira.Headset(simulate=True, sim="fast=1")
    with pytest.raises(KeyError, match="is not a property"):
        h.properties["Sample Rate"]
    with pytest.raises(TypeError):
        del h.properties["Parity"]


@pytest.mark.parametrize("action", [
    lambda h: h.start(),
    lambda h: h.firmware,
    lambda h: h.properties["Ondira transmission channel"],
    lambda h: h.properties.__setitem__("USB transmission channel", 3),
])
def test_what_needs_an_open_headset_says_so(action):
    h = ondira.Headset(simulate=True, sim="fast=1")
    with pytest.raises(DeviceError) as raised:
        action(h)
    assert raised.value.code == Status.DEVICE_NOT_OPEN
    assert isinstance(raised.value, OSError)
    assert "h.open()" in str(raised.value)
    h.stop()   # nothing to stop: no error
    h.close()


@pytest.mark.parametrize("config, code", [
    ("refuse_open=1", Status.DEVICE_IO_ERROR),
    ("devices=0", Status.DEVICE_IO_ERROR),
])
def test_a_dongle_that_cannot_be_opened_raises_the_librarys_status(config, code):
    h = ondira.Headset(simulate=True, sim=config)
    with pytest.raises(DeviceError) as raised:
        h.open()
    assert raised.value.code == code
    assert raised.value.text == code.text
    assert raised.value.text in str(raised.value)
    assert not h.is_open
    assert any(e.code == code for e in h.events())


@pytest.mark.parametrize("driver", ["not_a_library.so", "noqueue"])
def test_a_driver_library_that_is_not_one_raises_ftdi_library_error(private_folder, driver):
    if driver == "noqueue":   # the virtual headset without FT_GetQueueStatus
        path = os.path.join(sim_library_folder(), "libFtd2xx_noqueue.so")
    else:
        path = private_folder / driver
        path.write_text("not a shared library")
    h = ondira.Headset(driver=path)
    with pytest.raises(DeviceError) as raised:
        h.open()
    assert raised.value.code == Status.FTDI_LIBRARY_ERROR


def test_a_headset_that_does_not_answer_reads_none_and_its_query_raises(headset):
    h = headset("headset=off")
    assert h.firmware == {"dongle": "2.4", "headset": None}
    with pytest.raises(DeviceError) as raised:
        h.properties["Ondira FW version"]
    assert raised.value.code == Status.FW_VERSION_ERROR


@pytest.mark.parametrize("arguments, error", [
    ({"driver": 123}, TypeError),
    ({"driver": "/no/such/libFtd2xx.so"}, FileNotFoundError),
    ({"driver": "/no/such/libFtd2xx.so", "simulate": True}, ValueError),
    ({"simulate": "yes"}, TypeError),
    ({"sim": 5}, TypeError),
    ({"sim": "no_such_key=1"}, ValueError),
    ({"sim": "loss=2"}, ValueError),
    ({"sim": "loss=0.1\0"}, ValueError),
    ({"simulate": True, "buffer_seconds": 0}, ValueError),
    ({"simulate": True, "buffer_seconds": float("nan")}, ValueError),
    ({"simulate": True, "buffer_seconds": 1e9}, ValueError),
    ({"simulate": True, "buffer_seconds": "60"}, TypeError),
    ({"simulate": True, "reconnect": -1}, ValueError),
    ({"simulate": True, "reconnect": 1e9}, ValueError),
    ({"simulate": True, "reconnect": "60"}, TypeError),
])
def test_bad_headset_arguments(arguments, error):
    with pytest.raises(error):
        ondira.Headset(**arguments)


@pytest.mark.parametrize("call, error", [
    (lambda h: h.read(seconds=-1), ValueError),
    (lambda h: h.read(seconds=0), ValueError),
    (lambda h: h.read(seconds=0.001), ValueError),
    (lambda h: h.read(seconds=float("inf")), ValueError),
    (lambda h: h.read(seconds=float("nan")), ValueError),
    (lambda h: h.read(seconds=1e300), ValueError),
    (lambda h: h.read(seconds="1"), TypeError),
    (lambda h: h.read(seconds=True), TypeError),
    (lambda h: h.read(timeout=1), ValueError),
    (lambda h: h.read(seconds=1, timeout=-1), ValueError),
    (lambda h: h.calibrate([5]), ValueError),
    (lambda h: h.calibrate([0]), ValueError),
    (lambda h: h.calibrate("12"), TypeError),
    (lambda h: h.calibrate(3), TypeError),
    (lambda h: h.calibrate([1.0]), TypeError),
])
def test_bad_call_arguments(call, error):
    h = ondira.Headset(simulate=True, sim="fast=1")
    with pytest.raises(error):
        call(h)


def test_the_virtual_headset_is_not_reconfigured_under_an_open_headset(headset):
    first = headset("devices=2 fast=1")
    with pytest.raises(ValueError, match="in use"):
        ondira.Headset(simulate=True, sim="fast=1 loss=0.5").open()
    # The same configuration shares it: the second gets the second device.
    second = headset("devices=2 fast=1")
    for h in (first, second):
        h.start()
        assert len(h.read(seconds=0.2)) == 50
        h.stop()
    first.close()
    second.close()
    with ondira.Headset(simulate=True, sim="fast=1 loss=0.5") as h:
        assert h.is_open

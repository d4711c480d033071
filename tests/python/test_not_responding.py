"""A headset switched off while streaming: after about five seconds of
silence the library stops the stream; read says so, and a new start works
once the headset is back."""

import time

import pytest

from ondira import DeviceError, Status


def test_a_silent_headset_ends_the_stream_and_a_new_start_works(headset, sim):
    h = headset("")
    h.start()
    assert len(h.read(seconds=0.2)) == 50
    sim.ondira_sim_set(0, b"headset=off")
    started = time.monotonic()
    h.read(seconds=60)
    waited = time.monotonic() - started
    assert 4.0 < waited < 15.0
    assert not h.streaming
    with pytest.raises(DeviceError) as raised:
        h.read()
    assert raised.value.code == Status.DEVICE_NOT_RESPONDING
    assert any(e.code == Status.DEVICE_NOT_RESPONDING for e in h.events())

    sim.ondira_sim_set(0, b"headset=on")
    h.stop()
    h.start()
    assert len(h.read(seconds=0.2, timeout=10)) == 50
    h.stop()

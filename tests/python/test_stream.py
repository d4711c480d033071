"""Streaming and reading against the virtual headset: counts, the time line,
fillers, overflow of the read buffer, waiting, interruption, a lost stream."""

import os
import signal
import threading
import time
import warnings

import numpy as np
import pytest

import ondira
from ondira import Chunk, DeviceError, Status

from conftest import wait_for


def assert_one_time_line(chunk):
    steps = np.diff(chunk.timestamps_ms)
    assert np.all(steps == 4), f"steps other than 4 ms at rows {np.flatnonzero(steps != 4)[:10]}"


def test_read_returns_the_samples_asked_for_on_one_4ms_time_line(headset, sim):
    h = headset("fast=1")
    h.start()
    first = h.read(seconds=2.0)
    commands = sim.ondira_sim_command_count(0)
    h.start()   # streaming already: nothing is sent, the time line goes on
    assert sim.ondira_sim_command_count(0) == commands
    second = h.read(seconds=0.5, timeout=10)
    h.stop()

    assert (len(first), len(second)) == (500, 125)
    assert first.data.shape == (500, 4) and first.data.dtype == np.float64
    assert first.timestamps_ms.dtype == np.int64
    assert first.flags.dtype == np.uint8 and first.offset_change.dtype == np.uint8
    assert abs(int(first.timestamps_ms[0]) - time.time() * 1000) < 60_000
    assert first.data.min() >= 0 and first.data.max() <= 38570.4
    assert not first.lost.any()
    # Whatever the read buffer had to drop in between, the time line goes on.
    assert_one_time_line(Chunk.concatenate([first, second]))


def test_lost_packets_become_flagged_fillers_that_repeat_the_sample_before(headset):
    # Real time: with fast=1 the first packets can come before the library
    # counts the stream as started, and are not delivered.
    h = headset("drop=3,4")   # packets 3 and 4: samples 15..24
    h.start()
    chunk = h.read(seconds=1.0)
    h.stop()

    expected = np.zeros(250, np.uint8)
    expected[15:25] = ondira.FLAG_LOST_SAMPLE
    np.testing.assert_array_equal(chunk.flags, expected)
    np.testing.assert_array_equal(chunk.data[15:25], np.repeat(chunk.data[14:15], 10, axis=0))
    assert chunk.lost_count == 10 and chunk.overflowed == 0
    assert_one_time_line(chunk)


def test_status_events_are_handed_out_once_with_their_arrival_time(headset):
    h = headset("fast=1")
    h.calibrate([1, 2, 3, 4])
    h.start()
    events = []
    assert wait_for(lambda: h.read(seconds=0.5) is not None and events.extend(h.events()) is None
                    and any(e.code == Status.CHANNEL_2_CALIBRATING for e in events))
    h.stop()
    event = next(e for e in events if e.code == Status.CHANNEL_2_CALIBRATING)
    assert event.type == "INFO" and event.text == "Channel 2 is being calibrated"
    assert abs(event.timestamp_ms - time.time() * 1000) < 60_000
    assert all(a.timestamp_ms <= b.timestamp_ms for a, b in zip(events, events[1:]))
    assert h.events() == [] or all(e not in events for e in h.events())


def test_a_full_buffer_drops_samples_counted_warned_once_and_marked_as_fillers(headset):
    h = headset("fast=1", buffer_seconds=0.2)   # room for 50 samples
    h.start()
    assert wait_for(lambda: h.overflows > 1000)
    with pytest.warns(ResourceWarning, match="samples were dropped"):
        chunk = h.read(seconds=2.0)
    assert len(chunk) == 500
    assert chunk.overflowed > 0
    assert np.all(chunk.flags[chunk.dropped] == ondira.FLAG_LOST_SAMPLE)
    assert chunk.dropped[:50].sum() == 0, "the 50 samples in the buffer come first"
    assert_one_time_line(chunk)

    assert wait_for(lambda: h.overflows > 2 * 1000)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        later = h.read(seconds=2.0)
        assert not [w for w in caught if issubclass(w.category, ResourceWarning)], "warned once only"
    assert later.overflowed > 0
    assert h.overflows >= chunk.overflowed + later.overflowed
    assert_one_time_line(Chunk.concatenate([chunk, later]))

    # Samples dropped at the end of a stream have no place in the next one.
    h.stop()
    h.read()
    h.start()
    fresh = h.read(seconds=0.2)
    h.stop()
    assert not fresh.dropped[0] and fresh.flags[0] != ondira.FLAG_LOST_SAMPLE


def test_read_without_seconds_and_reads_while_not_streaming_do_not_wait(headset):
    h = headset("")
    started = time.monotonic()
    assert len(h.read()) == 0
    assert len(h.read(seconds=5)) == 0
    assert time.monotonic() - started < 1.0


def test_timeout_returns_what_has_arrived(headset):
    h = headset("")   # real time: 250 samples per second
    h.start()
    started = time.monotonic()
    chunk = h.read(seconds=20, timeout=0.3)
    elapsed = time.monotonic() - started
    h.stop()
    assert 0.25 <= elapsed < 3.0
    assert 0 < len(chunk) < 5000


def test_other_python_threads_run_while_read_waits(headset):
    h = headset("")
    count = 0
    done = threading.Event()

    def spin():
        nonlocal count
        while not done.is_set():
            count += 1

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        before = count
        time.sleep(0.5)   # the spinner has the interpreter to itself
        alone = count - before
        h.start()
        before = count
        chunk = h.read(seconds=1.0)
        during = count - before
    finally:
        done.set()
        spinner.join()
    assert len(chunk) == 250
    # Holding the interpreter lock while waiting would leave the spinner a
    # switch interval (5 ms) or so of the second.
    assert during > alone / 2, f"the other thread counted {during} in 1 s of read, {alone} in 0.5 s alone"


def test_ctrl_c_interrupts_a_waiting_read_soon_and_loses_nothing(headset):
    h = headset("")
    h.start()
    sent = []

    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(0.4, interrupt)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        h.read(seconds=60)
    latency = time.monotonic() - sent[0]
    timer.join()
    print(f"KeyboardInterrupt {latency * 1000:.0f} ms after SIGINT")
    assert latency < 0.5
    # What the interrupted read had collected comes with the next one.
    chunk = h.read()
    h.stop()
    assert len(chunk) >= 50
    assert_one_time_line(chunk)


def test_ctrl_c_interrupts_a_read_that_waits_for_another_threads_read(headset):
    h = headset("")
    h.start()
    other = threading.Thread(target=lambda: h.read(seconds=60))
    other.start()
    time.sleep(0.2)   # the other read holds the reader now
    timer = threading.Timer(0.2, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        h.read(seconds=1)
    assert time.monotonic() - started < 1.0
    timer.join()
    h.close()
    other.join()


def test_close_from_another_thread_ends_a_waiting_read(headset):
    h = headset("")
    h.start()
    threading.Timer(0.3, h.close).start()
    started = time.monotonic()
    chunk = h.read(seconds=60)
    assert time.monotonic() - started < 5.0
    assert 0 < len(chunk) < 15000
    assert not h.is_open and not h.streaming


def test_an_unplugged_dongle_ends_the_stream_and_read_says_why(headset):
    h = headset("unplug_after_ms=1000")   # open and start take a few hundred ms
    h.start()
    started = time.monotonic()
    chunk = h.read(seconds=60)
    assert time.monotonic() - started < 10.0
    assert 0 < len(chunk) < 15000
    assert not h.streaming
    with pytest.raises(DeviceError) as raised:
        h.read()
    assert raised.value.code == Status.DEVICE_IO_ERROR
    assert "the headset stopped streaming" in str(raised.value)
    assert any(e.code == Status.DEVICE_IO_ERROR for e in h.events())
    with pytest.raises(DeviceError) as raised:
        h.start()
    assert raised.value.code == Status.DEVICE_IO_ERROR

"""The hand-over to MNE-Python: a chunk as a RawArray, and recording into
an EDF+ file that MNE reads back."""

import datetime
import os
import signal
import threading
import time

import numpy as np
import pytest

mne = pytest.importorskip("mne")

import ondira
from ondira import Chunk, DeviceError, Status


def chunk_of(flags, start_ms=1_700_000_000_000, dropped=None):
    n = len(flags)
    data = np.arange(n * 4, dtype=np.float64).reshape(n, 4) * 10.0
    return Chunk(data, start_ms + 4 * np.arange(n, dtype=np.int64), np.asarray(flags, np.uint8),
                 np.zeros(n, np.uint8), np.zeros(n, bool) if dropped is None else np.asarray(dropped))


def annotations(raw):
    return [(round(a["onset"] * 250), round(a["duration"] * 250), a["description"]) for a in raw.annotations]


def lost_runs(flags):
    runs, row = [], 0
    while row < len(flags):
        if flags[row] == ondira.FLAG_LOST_SAMPLE:
            start = row
            while row < len(flags) and flags[row] == ondira.FLAG_LOST_SAMPLE:
                row += 1
            runs.append((start, row - start, "BAD_lost"))
        else:
            row += 1
    return runs


def test_to_mne_values_rate_labels_date_and_annotations(headset):
    h = headset("fast=1 loss=0.05")
    h.calibrate([1, 2, 3, 4])
    h.start()
    chunk = h.read(seconds=4.0)
    h.stop()
    raw = chunk.to_mne(labels=["Fp1", "Fp2", "O1", "O2"])

    assert raw.info["sfreq"] == 250.0
    assert raw.ch_names == ["Fp1", "Fp2", "O1", "O2"]
    assert set(raw.get_channel_types()) == {"eeg"}
    np.testing.assert_allclose(raw.get_data(), chunk.data.T * 1e-6)
    assert raw.info["meas_date"] == datetime.datetime.fromtimestamp(
        chunk.timestamps_ms[0] / 1000, tz=datetime.timezone.utc)
    found = annotations(raw)
    runs = lost_runs(chunk.flags)
    assert len(runs) > 0, "200 packets at 5 % loss"
    assert [a for a in found if a[2] == "BAD_lost"] == runs
    steps = np.flatnonzero(chunk.flags >= 2)
    assert len(steps) > 0, "calibration steps the offsets of channels 2 and 3"
    offsets = [(row, d) for row, length, d in found if d.startswith("Offset change")]
    assert offsets == [(int(r), f"Offset change, channel {(int(chunk.flags[r]) - 2) % 4 + 1}") for r in steps]


def test_to_mne_marks_overflow_fillers_apart_and_refuses_a_broken_time_line():
    raw = chunk_of([0, 1, 1, 0, 1, 1, 1, 0], dropped=[0, 0, 0, 0, 1, 1, 1, 0]).to_mne()
    assert annotations(raw) == [(1, 2, "BAD_lost"), (4, 3, "BAD_overflow")]
    assert raw.ch_names == ["Ch1", "Ch2", "Ch3", "Ch4"]

    joined = Chunk.concatenate([chunk_of([0] * 10), chunk_of([0] * 10, start_ms=1_700_000_001_000)])
    with pytest.raises(ValueError, match=r"chunk\[:10\] and chunk\[10:\]"):
        joined.to_mne()
    assert len(joined[10:].to_mne().times) == 10


@pytest.mark.parametrize("labels, error", [
    (["Fp1", "Fp2", "O1"], ValueError),
    (["Fp1", "Fp1", "O1", "O2"], ValueError),
    (["Fp1", "", "O1", "O2"], ValueError),
    ("Fp1,Fp2,O1,O2", TypeError),
    ([1, 2, 3, 4], ValueError),
])
def test_to_mne_bad_labels(labels, error):
    with pytest.raises(error):
        chunk_of([0] * 5).to_mne(labels=labels)


def test_record_writes_edf_that_mne_reads_back(private_folder):
    path = private_folder / "rest.edf"
    # Real time, so that the first packet comes after the stream has started.
    recording = ondira.record(path, 1.0, labels=["Fp1", "Fp2", "O1", "O2"], simulate=True,
                              sim="drop=10,11")   # samples 50..59
    assert recording.path == str(path)
    assert (recording.samples, recording.fillers) == (250, 10)
    assert recording.firmware == {"dongle": "2.4", "headset": "3.5"}
    assert recording.radio_channels == {"dongle": 9, "headset": 9}
    raw = mne.io.read_raw_edf(path, preload=True, verbose="error")
    assert raw.ch_names == ["EEG Fp1", "EEG Fp2", "EEG O1", "EEG O2"]
    assert raw.n_times == 250 and raw.info["sfreq"] == 250.0
    assert (50, 10, "10 samples lost") in annotations(raw)
    np.testing.assert_allclose(raw.get_data()[:, 50:60], np.repeat(raw.get_data()[:, 49:50], 10, axis=1))


def test_record_failures_and_bad_arguments(private_folder):
    with pytest.raises(DeviceError) as raised:
        ondira.record(private_folder / "x.edf", 1.0, simulate=True, sim="refuse_open=1")
    assert raised.value.code == Status.DEVICE_IO_ERROR
    assert "could not open the headset" in str(raised.value)
    assert not (private_folder / "x.edf").exists()

    for arguments, error in [
        ({"path": "x.txt"}, ValueError),
        ({"path": "missing/x.edf"}, FileNotFoundError),
        ({"path": 5}, TypeError),
        ({"seconds": 0}, ValueError),
        ({"labels": ["Fp 1", "Fp2", "O1", "O2"]}, ValueError),
        ({"labels": ["Fp1", "Fp2", "O1", "Occipital-left"]}, ValueError),
        ({"calibrate": [5]}, ValueError),
        ({"reconnect": -1}, ValueError),
    ]:
        call = {"path": "x.edf", "seconds": 1.0, "simulate": True, "sim": "fast=1", **arguments}
        with pytest.raises(error):
            ondira.record(call.pop("path"), call.pop("seconds"), **call)
    assert not (private_folder / "x.edf").exists()


def test_ctrl_c_ends_a_recording_with_a_valid_file(private_folder):
    path = private_folder / "cut.edf"
    timer = threading.Timer(1.5, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        ondira.record(path, 60.0, simulate=True)
    timer.join()
    assert time.monotonic() - started < 10
    raw = mne.io.read_raw_edf(path, preload=True, verbose="error")
    assert raw.n_times >= 250

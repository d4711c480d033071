"""Recording as something a Headset does: into EDF+ while the script reads
and marks, ended by stop_recording(), stop() or close(), and refused with
the documented exceptions."""

import threading
import time

import numpy as np
import pytest

mne = pytest.importorskip("mne")

import ondira
from ondira import Chunk, DeviceError, Status

LABELS = ["Fp1", "Fp2", "O1", "O2"]


def test_record_mark_and_read_at_once_give_an_edf_with_the_markers_that_mne_reads(headset, private_folder):
    path = private_folder / "run1.edf"
    h = headset("")   # real time
    h.record(path, labels=LABELS)
    assert h.is_recording and path.exists()
    h.start()
    chunks = [h.read(seconds=0.1)]
    placed = {}

    def marker_thread():
        for k in range(3):
            time.sleep(0.3)   # paces the markers
            placed[f"thread {k}"] = h.mark(f"thread {k}")

    thread = threading.Thread(target=marker_thread)
    thread.start()
    for k in range(6):   # 3 s: the file has room for four annotations a second
        placed[f"stimulus {k}"] = h.mark(f"stimulus {k}")
        chunks.append(h.read(seconds=0.5))
    thread.join()
    recording = h.stop_recording()
    chunks.append(h.read())
    h.stop()
    assert not h.is_recording

    joined = Chunk.concatenate(chunks)
    assert recording.path == str(path) and recording.markers == len(placed) == 9
    assert recording.samples >= 750 and recording.fillers == 0 and recording.reconnects == 0
    assert recording.seconds == recording.samples / 250
    assert recording.firmware == {"dongle": "2.4", "headset": "3.5"}
    assert recording.radio_channels == {"dongle": 9, "headset": 9}

    raw = mne.io.read_raw_edf(path, preload=True, verbose="error")
    assert raw.ch_names == [f"EEG {label}" for label in LABELS]
    # The file holds the stream the reads got, from its first row on.
    n = min(recording.samples, len(joined))
    np.testing.assert_allclose(raw.get_data()[:, :n] * 1e6, joined.data[:n].T, atol=0.3)
    onsets = {a["description"]: a["onset"] * 250 for a in raw.annotations}
    for text, position in placed.items():
        assert onsets[text] == pytest.approx(position, abs=0.05), text
        chunk_position = next(m.position for m in joined.markers if m.text == text)
        assert position <= chunk_position + 1e-6 < position + 3, text


def test_stop_and_close_end_a_recording_and_stop_recording_returns_it_once(headset, private_folder):
    h = headset("")
    for end in (h.stop, h.close):
        path = private_folder / f"{end.__name__}.edf"
        h.open()
        h.start()
        before = h.read(seconds=0.1)
        h.record(path)   # while streaming: it asks for the firmware meanwhile
        before = Chunk.concatenate([before, h.read()])
        after = h.read(seconds=0.2)   # rows that came after it began
        assert len(after) == 50
        assert not Chunk.concatenate([before, after]).lost.any(), "the stream went on whole"
        end()
        assert not h.is_recording
        recording = h.stop_recording()
        assert recording.path == str(path) and recording.samples > 0
        assert mne.io.read_raw_edf(path, verbose="error").ch_names == ["EEG Ch1", "EEG Ch2", "EEG Ch3", "EEG Ch4"]
        with pytest.raises(RuntimeError, match="no recording"):
            h.stop_recording()

    # Ended before its first sample: no file is left.
    h.open()
    h.record(private_folder / "empty.edf")
    assert h.stop_recording().samples == 0
    assert not (private_folder / "empty.edf").exists()


def test_what_a_recording_refuses(headset, private_folder):
    closed = ondira.Headset(simulate=True, sim="fast=1")
    with pytest.raises(DeviceError) as raised:
        closed.record(private_folder / "closed.edf")
    assert raised.value.code == Status.DEVICE_NOT_OPEN

    h = headset("fast=1")
    existing = private_folder / "kept.edf"
    existing.write_bytes(b"an earlier recording")
    for path, labels, error in [
        (existing, LABELS, FileExistsError),
        (private_folder / "missing" / "x.edf", LABELS, FileNotFoundError),
        (private_folder / "x.txt", LABELS, ValueError),
        (5, LABELS, TypeError),
        (private_folder / "x.edf", ["Fp 1", "Fp2", "O1", "O2"], ValueError),
        (private_folder / "x.edf", ["Fp1", "Fp2", "O1"], ValueError),
        (private_folder / "x.edf", "Fp1,Fp2,O1,O2", TypeError),
    ]:
        with pytest.raises(error):
            h.record(path, labels=labels)
    assert existing.read_bytes() == b"an earlier recording", "never replaced"
    assert not (private_folder / "x.edf").exists()
    assert not h.is_recording

    h.record(private_folder / "first.edf")
    with pytest.raises(RuntimeError, match="running already"):
        h.record(private_folder / "second.edf")
    assert not (private_folder / "second.edf").exists()
    h.stop_recording()

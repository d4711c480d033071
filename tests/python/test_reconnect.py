"""A headset lost while streaming, with Headset(reconnect=S): it is reopened,
the stream goes on, and the time it was away comes as fillers on the one
4 ms time line, in the chunks and in a recording that goes on through it."""

import numpy as np
import pytest

from ondira import Status


def test_a_lost_headset_comes_back_and_the_stream_and_the_recording_go_on(headset, private_folder):
    # Unplugged 2.5 s after the open: after the recording has begun (it asks
    # for the firmware first) and the stream has started.
    h = headset("unplug_after_ms=2500 replug_after_ms=200", reconnect=10)
    h.record(private_folder / "through.edf")
    h.start()
    chunk = h.read(seconds=6, timeout=30)
    assert len(chunk) == 1500
    assert h.streaming
    assert Status.DEVICE_IO_ERROR in [e.code for e in h.events()]
    assert (np.diff(chunk.timestamps_ms) == 4).all()
    # Away until the first attempt to reopen it, 2 s later: one run of fillers.
    lost = np.concatenate(([0], chunk.lost.astype(np.int8), [0]))
    edges = np.flatnonzero(np.diff(lost))
    longest = int((edges[1::2] - edges[::2]).max())
    assert 250 <= longest <= 1000
    assert not chunk.dropped.any()
    assert len(chunk.to_mne().times) == 1500

    recording = h.stop_recording()
    h.stop()
    assert recording.reconnects == 1
    assert recording.samples >= 1500 and recording.fillers >= longest
    mne = pytest.importorskip("mne")
    raw = mne.io.read_raw_edf(recording.path, verbose="error")
    assert any(a["description"].startswith("Headset back after") for a in raw.annotations)

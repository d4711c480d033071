"""A headset lost while streaming, with Headset(reconnect=S): it is reopened,
the stream goes on, and the time it was away comes as fillers on the one
4 ms time line."""

import numpy as np

from ondira import Status


def test_a_lost_headset_comes_back_and_the_stream_goes_on(headset):
    h = headset("unplug_after_ms=1000 replug_after_ms=200", reconnect=10)
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
    h.stop()

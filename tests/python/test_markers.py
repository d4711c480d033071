"""Stimulus markers: placed from any thread, carried by the chunks at the rows
they were placed at, kept by slicing and joining, handed to MNE as
annotations, and refused with the reason."""

import threading
import time

import numpy as np
import pytest

from ondira import Chunk, Marker, MarkerError

from conftest import wait_for


def chunk_of(rows, markers=(), start_ms=1_700_000_000_000):
    return Chunk(np.zeros((rows, 4)), start_ms + 4 * np.arange(rows, dtype=np.int64), np.zeros(rows, np.uint8),
                 np.zeros(rows, np.uint8), np.zeros(rows, bool),
                 tuple(Marker(position, text, start_ms) for position, text in markers))


def placed_of(chunk):
    return [(m.position, m.text) for m in chunk.markers]


def test_markers_from_two_threads_come_with_the_chunks_at_their_rows_in_order(headset):
    h = headset("")   # real time: rows arrive while the markers are placed
    h.start()
    chunks = [h.read(seconds=0.1)]
    placed = {}

    def marker_thread():
        for k in range(40):
            placed[f"thread {k}"] = h.mark(f"thread {k}")
            time.sleep(0.01)   # paces the markers

    thread = threading.Thread(target=marker_thread)
    thread.start()
    k = 0
    while thread.is_alive():
        placed[f"main {k}"] = h.mark(f"main {k}")
        k += 1
        # Reads of both kinds: waiting for rows, and taking what is there.
        chunks.append(h.read(seconds=0.03) if k % 2 else h.read())
    thread.join()
    # Until the rows of every marker have come: none lies past the stream's end.
    while sum(len(c) for c in chunks) <= max(placed.values()) + 1:
        chunks.append(h.read(seconds=0.1, timeout=20))
        assert len(chunks[-1]) > 0, "the stream went on"
    h.stop()
    chunks.append(h.read())

    joined = Chunk.concatenate(chunks)
    found = {m.text: m for m in joined.markers}
    assert len(joined.markers) == len(placed) and found.keys() == placed.keys(), "each marker once"
    late, latest = 0, 0.0
    for text, position in placed.items():
        # Exactly at its row, or (its row handed out before it reached the
        # log) at the first row of the next chunk: late by a row or two (the
        # session numbers a sample once it has gone to the reads).
        shift = found[text].position - position
        assert -1e-6 < shift < 3.0, f"{text} placed at {position}, found at {found[text].position}"
        late += shift > 1e-6
        latest = max(latest, shift)
    print(f"{late} of {len(placed)} markers came at the start of the chunk after their row's, "
          f"{latest:.2f} rows late at most")
    for who, count in (("main", k), ("thread", 40)):
        positions = [found[f"{who} {i}"].position for i in range(count)]
        assert positions == sorted(positions), f"the {who} thread's markers in the order placed"
    assert [m.position for m in joined.markers] == sorted(m.position for m in joined.markers)
    # The rows are those that arrived when each marker was placed: the time
    # between a row's timestamp and its marker's barely varies.
    lags = [int(joined.timestamps_ms[int(m.position)]) - m.timestamp_ms for m in joined.markers
            if m.position < len(joined)]
    assert max(lags) - min(lags) < 100, f"row time minus marker time from {min(lags)} to {max(lags)} ms"


def test_a_marker_after_the_last_sample_comes_at_the_end(headset, sim):
    h = headset("")
    h.start()
    chunks = [h.read(seconds=0.2)]
    sim.ondira_sim_set(0, b"hold=1")   # the headset sends no more packets
    # Until nothing arrives for 0.3 s: every packet on its way has come.
    assert wait_for(lambda: chunks.append(h.read(seconds=60, timeout=0.3)) or len(chunks[-1]) == 0)
    position = h.mark("after the last sample")
    assert position >= sum(len(c) for c in chunks)
    h.stop()
    rest = h.read()
    assert len(rest) == 0 and placed_of(rest) == [(0, "after the last sample")], "not dropped, not waiting"
    joined = Chunk.concatenate(chunks + [rest])
    assert placed_of(joined) == [(len(joined), "after the last sample")]
    assert [(a["onset"], a["description"]) for a in joined.to_mne().annotations] == [
        (len(joined) / 250, "after the last sample")]


def test_slicing_and_joining_carry_the_markers_on_their_rows():
    chunk = chunk_of(10, [(0.0, "a"), (2.5, "b"), (9.75, "c"), (10.0, "end")])
    assert placed_of(chunk[2:5]) == [(0.5, "b")]
    assert placed_of(chunk[:3]) == [(0.0, "a"), (2.5, "b")]
    assert placed_of(chunk[9:]) == [(0.75, "c"), (1.0, "end")], "a slice to the end keeps the end"
    assert placed_of(chunk[-1:]) == [(0.75, "c"), (1.0, "end")]
    assert placed_of(chunk[5:2]) == [] and len(chunk[5:2]) == 0
    joined = Chunk.concatenate([chunk[:3], chunk[3:9], chunk[9:]])
    assert placed_of(joined) == placed_of(chunk)
    two = Chunk.concatenate([chunk_of(4, [(4.0, "x")]), chunk_of(3, [(1.5, "y")])])
    assert placed_of(two) == [(4.0, "x"), (5.5, "y")]
    assert "4 markers" in repr(chunk)


def test_to_mne_adds_an_annotation_per_marker_with_its_text():
    mne = pytest.importorskip("mne")
    chunk = chunk_of(500, [(0.0, "start"), (125.25, "Reiz ä"), (250.0, "tone 1000 Hz"), (250.0, "tone 1000 Hz")])
    raw = chunk.to_mne()
    found = [(a["onset"], a["duration"], a["description"]) for a in raw.annotations]
    assert found == [(0.0, 0.0, "start"), (0.501, 0.0, "Reiz ä"), (1.0, 0.0, "tone 1000 Hz"),
                     (1.0, 0.0, "tone 1000 Hz")]
    events, ids = mne.events_from_annotations(raw, verbose="error")
    assert sorted(ids) == ["Reiz ä", "start", "tone 1000 Hz"]
    assert list(events[:, 0]) == [0, 125, 250, 250]


@pytest.mark.parametrize("text, error, says", [
    (b"stimulus", TypeError, "str"),
    (None, TypeError, "str"),
    ("", ValueError, "empty"),
    ("a\nb", ValueError, "control character"),
    ("x" * 256, ValueError, "longer than 255 bytes"),
    ("ä" * 128, ValueError, "longer than 255 bytes"),
    ("\ud800", ValueError, "UTF-8"),
])
def test_a_text_that_is_not_a_markers_is_refused_with_the_reason(headset, text, error, says):
    h = headset("fast=1")
    h.start()
    h.read(seconds=0.1)
    with pytest.raises(error, match=says):
        h.mark(text)
    assert h.mark("ä" * 127) > 0, "255 bytes of UTF-8 are a marker"


def test_a_marker_that_cannot_be_placed_raises_marker_error_with_the_reason(headset, sim):
    h = headset("fast=1 hold=1")   # streaming sends nothing until released
    with pytest.raises(MarkerError, match="h.start()") as raised:
        h.mark("before start")
    assert raised.value.reason == "not streaming" and isinstance(raised.value, RuntimeError)
    h.start()
    with pytest.raises(MarkerError) as raised:
        h.mark("before the first sample")
    assert raised.value.reason == "before the first sample"
    sim.ondira_sim_set(0, b"hold=0")
    assert len(h.read(seconds=0.1)) == 25
    assert h.mark("now") >= 25
    h.stop()
    for action in (lambda: None, h.close):
        action()
        with pytest.raises(MarkerError) as raised:
            h.mark("after the stream")
        assert raised.value.reason == "not streaming"
    chunk = h.read()
    assert [m.text for m in chunk.markers] == ["now"], "only placed markers come"

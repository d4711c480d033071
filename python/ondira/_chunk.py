"""A stretch of samples as numpy arrays, and its hand-over to MNE-Python."""

from __future__ import annotations

import datetime
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, ClassVar, Iterable, Optional, Sequence

import numpy as np

from . import _ondira

if TYPE_CHECKING:  # pragma: no cover
    import mne

# The stream's vocabulary, as the library declares it.
SAMPLE_RATE: int = _ondira.SAMPLE_RATE_HZ
"""Samples per second and channel."""
SAMPLE_PERIOD_MS: int = _ondira.SAMPLE_PERIOD_MS
CHANNEL_COUNT: int = _ondira.CHANNEL_COUNT
FLAG_NONE: int = _ondira.FLAG_NONE
"""An ordinary sample."""
FLAG_LOST_SAMPLE: int = _ondira.FLAG_LOST_SAMPLE
"""A filler that stands for a sample that never arrived: it repeats the sample before it."""
DEFAULT_LABELS = ("Ch1", "Ch2", "Ch3", "Ch4")

LOST_ANNOTATION = "BAD_lost"
OVERFLOW_ANNOTATION = "BAD_overflow"


@dataclass(frozen=True)
class Marker:
    """A stimulus marker (:meth:`Headset.mark`) as a chunk carries it."""

    position: float
    """Rows from the chunk's first row, fractional: the marker lies in row ``int(position)``,
    ``position / 250`` seconds after the first row's sample. It equals the chunk's length for a
    marker placed after the last sample of a stream that has ended."""
    text: str
    timestamp_ms: int
    """Wall clock when it was placed, milliseconds since 1970-01-01 UTC."""


@dataclass(frozen=True, eq=False)
class Chunk:
    """Samples read from the headset, one row per sample, 4 ms apart, and the
    stimulus markers placed on them.

    Every array has one row per sample. Rows with flag 1 are fillers: they
    stand for samples that were lost (on the radio link, while the headset
    was silent, or because the read buffer was full) and repeat the sample
    before them, so that the rows stay on the 4 ms time line.
    """

    data: np.ndarray
    """float64, shape (n, 4): the four channels in microvolts."""
    timestamps_ms: np.ndarray
    """int64, shape (n,): milliseconds since 1970-01-01 UTC, 4 ms apart within a stream."""
    flags: np.ndarray
    """uint8, shape (n,): 0 a sample, 1 a filler, 2..9 the headset applied an offset step
    (2..5 lowered on channel 1..4, 6..9 raised on channel 1..4)."""
    offset_change: np.ndarray
    """uint8, shape (n,): the headset's offset-change index of each sample."""
    dropped: np.ndarray
    """bool, shape (n,): fillers for samples that arrived while the read buffer was full."""
    markers: tuple[Marker, ...] = ()
    """The markers placed on these rows, in the order of their positions (ties: in the order
    they were placed). A marker that reached the read only after its row had been handed out
    comes with the next chunk, at position 0."""

    sample_rate: ClassVar[int] = SAMPLE_RATE

    @classmethod
    def empty(cls) -> Chunk:
        return cls(np.zeros((0, CHANNEL_COUNT)), np.zeros(0, np.int64), np.zeros(0, np.uint8),
                   np.zeros(0, np.uint8), np.zeros(0, bool))

    @classmethod
    def concatenate(cls, chunks: Iterable[Chunk]) -> Chunk:
        """One chunk of the rows of `chunks`, in order (for instance the chunks of successive reads)."""
        parts = list(chunks)
        for part in parts:
            if not isinstance(part, Chunk):
                raise TypeError(f"Chunk.concatenate takes Chunks, not {type(part).__name__}")
        if not parts:
            return cls.empty()
        markers: list[Marker] = []
        offset = 0
        for part in parts:
            markers.extend(replace(m, position=m.position + offset) for m in part.markers)
            offset += len(part)
        return cls(np.concatenate([p.data for p in parts]),
                   np.concatenate([p.timestamps_ms for p in parts]),
                   np.concatenate([p.flags for p in parts]),
                   np.concatenate([p.offset_change for p in parts]),
                   np.concatenate([p.dropped for p in parts]),
                   tuple(markers))

    def __len__(self) -> int:
        return int(self.timestamps_ms.shape[0])

    def __getitem__(self, rows: slice) -> Chunk:
        """The rows of a slice, e.g. ``chunk[250:500]``, with the markers on them (positions
        counted from the slice's first row; a slice to the end keeps the markers at the end);
        steps other than 1 would break the time line."""
        if not isinstance(rows, slice):
            raise TypeError(f"a Chunk is sliced by rows (chunk[a:b]), not indexed by {type(rows).__name__}")
        if rows.step not in (None, 1):
            raise ValueError("a Chunk slice keeps every row: step must be 1")
        n = len(self)
        start, stop, _ = rows.indices(n)
        stop = max(start, stop)
        markers = tuple(replace(m, position=m.position - start) for m in self.markers
                        if start <= m.position < stop or (stop == n and m.position >= n))
        return Chunk(self.data[start:stop], self.timestamps_ms[start:stop], self.flags[start:stop],
                     self.offset_change[start:stop], self.dropped[start:stop], markers)

    def __repr__(self) -> str:
        markers = f", {len(self.markers)} markers" if self.markers else ""
        return f"<ondira.Chunk {len(self)} samples ({self.seconds:.3f} s), {self.lost_count} lost{markers}>"

    @property
    def seconds(self) -> float:
        """Length of the chunk's time line in seconds (fillers included)."""
        return len(self) / SAMPLE_RATE

    @property
    def lost(self) -> np.ndarray:
        """bool, shape (n,): the filler rows (flag 1)."""
        return self.flags == FLAG_LOST_SAMPLE

    @property
    def lost_count(self) -> int:
        """Filler rows, whatever the cause."""
        return int(np.count_nonzero(self.lost))

    @property
    def overflowed(self) -> int:
        """Filler rows for samples that arrived while the read buffer was full."""
        return int(np.count_nonzero(self.dropped))

    def to_mne(self, labels: Optional[Sequence[str]] = None, *, verbose: object = "error") -> "mne.io.RawArray":
        """The chunk as an MNE-Python ``RawArray``: four EEG channels at 250 Hz in volts.

        `labels` names the four electrodes (default Ch1..Ch4). The measurement
        date is the first sample's time. Annotations mark every stretch of
        fillers (``BAD_lost``, or ``BAD_overflow`` where the read buffer was
        full; MNE leaves ``BAD_`` stretches out of epochs), every offset
        step the headset applied (``Offset change, channel K``) and every
        marker (onset ``position / 250`` s, duration 0, its text as the
        description; ``mne.events_from_annotations`` turns them into events).

        The rows must form one time line (4 ms apart): a chunk that spans a
        restart of streaming is refused with the row where it breaks, so
        that the parts can be converted separately.
        """
        try:
            import mne
        except ImportError as error:
            raise ImportError("to_mne needs MNE-Python (Debian: apt-get install python3-mne)") from error
        names = _labels(labels)
        if len(self) == 0:
            raise ValueError("an empty chunk cannot become a Raw: read some samples first")
        steps = np.diff(self.timestamps_ms)
        breaks = np.flatnonzero(steps != SAMPLE_PERIOD_MS)
        if breaks.size:
            row = int(breaks[0]) + 1
            raise ValueError(
                f"the rows do not form one time line: row {row} lies {int(steps[row - 1])} ms after the row "
                f"before it, not {SAMPLE_PERIOD_MS} ms (streaming was restarted?); convert chunk[:{row}] and "
                f"chunk[{row}:] separately")

        info = mne.create_info(list(names), float(SAMPLE_RATE), ch_types="eeg", verbose=verbose)
        raw = mne.io.RawArray(self.data.T * 1e-6, info, verbose=verbose)
        start = datetime.datetime.fromtimestamp(int(self.timestamps_ms[0]) / 1000.0, tz=datetime.timezone.utc)
        raw.set_meas_date(start)

        onsets: list[float] = []
        durations: list[float] = []
        descriptions: list[str] = []
        for mask, description in ((self.lost & ~self.dropped, LOST_ANNOTATION), (self.dropped, OVERFLOW_ANNOTATION)):
            for first, count in _runs(mask):
                onsets.append(first / SAMPLE_RATE)
                durations.append(count / SAMPLE_RATE)
                descriptions.append(description)
        for row in np.flatnonzero(self.flags >= 2):
            onsets.append(int(row) / SAMPLE_RATE)
            durations.append(0.0)
            descriptions.append(f"Offset change, channel {(int(self.flags[row]) - 2) % 4 + 1}")
        for marker in self.markers:
            onsets.append(marker.position / SAMPLE_RATE)
            durations.append(0.0)
            descriptions.append(marker.text)
        order = np.argsort(onsets, kind="stable")
        raw.set_annotations(mne.Annotations(np.asarray(onsets)[order], np.asarray(durations)[order],
                                            [descriptions[i] for i in order], orig_time=start))
        return raw


def _labels(labels: Optional[Sequence[str]]) -> tuple[str, ...]:
    if labels is None:
        return DEFAULT_LABELS
    if isinstance(labels, str) or not isinstance(labels, Sequence):
        raise TypeError(f"labels must be a list of four names, e.g. ['Fp1', 'Fp2', 'O1', 'O2'], not {labels!r}")
    names = tuple(labels)
    if len(names) != CHANNEL_COUNT:
        raise ValueError(f"labels must name the four channels, not {len(names)}: {list(names)!r}")
    for name in names:
        if not isinstance(name, str) or not name.strip():
            raise ValueError(f"every label must be a non-empty str, not {name!r}")
    if len(set(names)) != len(names):
        raise ValueError(f"labels must differ from each other: {list(names)!r}")
    return names


def _runs(mask: np.ndarray) -> list[tuple[int, int]]:
    """(first row, length) of every run of True in `mask`."""
    if not mask.any():
        return []
    edges = np.diff(np.concatenate(([0], mask.astype(np.int8), [0])))
    starts = np.flatnonzero(edges == 1)
    ends = np.flatnonzero(edges == -1)
    return [(int(s), int(e - s)) for s, e in zip(starts, ends)]

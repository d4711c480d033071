"""What a recording into an EDF+ file takes and gives, for :func:`record`
and :meth:`Headset.record` alike: the file's path, the electrode labels, and
the :class:`Recording` that says what was written."""

from __future__ import annotations

import errno
import os
from dataclasses import dataclass, field
from typing import Optional, Sequence, Union

from . import _ondira
from ._chunk import _labels


@dataclass(frozen=True)
class Recording:
    """What :func:`record`, or a :meth:`Headset.record` ended by
    :meth:`Headset.stop_recording`, wrote."""

    path: str
    """The EDF+ file."""
    samples: int
    """Samples written, fillers included."""
    fillers: int
    """Fillers among them (radio losses, silences, a headset away)."""
    seconds: float
    reconnects: int
    """Times the headset was lost and came back."""
    events_by_type: dict[str, int] = field(default_factory=dict)
    """Status events by type ("ERROR", "WARNING", "INFO")."""
    firmware: dict[str, Optional[str]] = field(default_factory=dict)
    radio_channels: dict[str, Optional[int]] = field(default_factory=dict)
    markers: int = 0
    """Markers written as annotations (:meth:`Headset.mark`)."""


def edf_path(path: Union[str, "os.PathLike[str]"]) -> str:
    """The file name of an EDF+ recording to come, checked: a str or path
    ending in .edf, in a folder that exists."""
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
    file = os.fsdecode(os.fspath(path))
    if not file.lower().endswith(".edf"):
        raise ValueError(f"path must name an EDF+ file ending in .edf, not {file!r}")
    folder = os.path.dirname(os.path.abspath(file))
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, "the folder for the recording does not exist", folder)
    return file


def record_labels(labels: Sequence[str]) -> tuple[str, ...]:
    """Four electrode names that EDF+ takes."""
    names = _labels(labels)
    for name in names:
        if not _ondira.is_valid_label(name):
            raise ValueError(f"{name!r} is not a valid electrode name for EDF+: use 1 to "
                             f"{_ondira.MAX_LABEL_LENGTH} ASCII letters, digits or signs, without blanks or quotes")
    return names


def radio_channel(value: int) -> Optional[int]:
    """A radio channel as the session reports it (-1: unknown)."""
    return value if value >= 0 else None

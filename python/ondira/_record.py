"""Recording straight into an EDF+ file, as the ondira command does."""

from __future__ import annotations

import os
from typing import Iterable, Sequence, Union

from . import _ondira
from ._chunk import CHANNEL_COUNT, DEFAULT_LABELS
from ._edf import Recording, edf_path, radio_channel, record_labels
from ._errors import raise_for
from ._headset import MAX_RECONNECT_SECONDS, _channels, _real
from ._virtual import Lease, driver_library

MAX_SECONDS = 366.0 * 24 * 3600


def record(path: Union[str, "os.PathLike[str]"], seconds: float, *,
           labels: Sequence[str] = DEFAULT_LABELS, calibrate: Iterable[int] = (1, 2, 3, 4),
           driver: Union[str, "os.PathLike[str]", None] = None, simulate: bool = False, sim: str = "",
           reconnect: float = 60.0) -> Recording:
    """Records `seconds` of the headset into the EDF+ file `path`.

    The file is written by the same recording session and EDF+ writer as
    ``ondira record``: four signals ``EEG <label>`` at 250 Hz in µV,
    annotations for status events, lost samples and offset changes. `labels`
    are 1 to 12 ASCII characters each, without blanks or quotes; `calibrate`
    lists the channels (1..4) whose offset calibration is on; `driver`,
    `simulate` and `sim` choose the device as for :class:`Headset`. A headset
    lost on the way is reopened for up to `reconnect` seconds (0: give up at
    once); the time it was away is written as lost samples.

    Blocks until done, with the interpreter lock released. Ctrl-C stops the
    recording, completes the file with what was received, and then raises
    KeyboardInterrupt. Raises DeviceError when the headset cannot be opened
    or is lost for good (the file then holds what was recorded until then),
    OSError when the file cannot be written.
    """
    file = edf_path(path)
    duration = _real("seconds", seconds)
    if not 0 < duration <= MAX_SECONDS:
        raise ValueError(f"seconds must lie in (0, {MAX_SECONDS:g}], not {duration:g}")
    names = record_labels(labels)
    on = set(_channels(calibrate))
    wait = _real("reconnect", reconnect)
    if not 0 <= wait <= MAX_RECONNECT_SECONDS:
        raise ValueError(f"reconnect must lie in [0, {MAX_RECONNECT_SECONDS:g}] seconds, not {wait:g}")
    driver_path, sim_config = driver_library(driver, simulate, sim)

    lease = Lease(driver_path, sim_config) if sim_config is not None else None
    try:
        summary = _ondira.record_edf(file, duration, list(names),
                                     [c in on for c in range(1, CHANNEL_COUNT + 1)], wait, driver_path)
    finally:
        if lease is not None:
            lease.release()

    outcome = summary["outcome"]
    if outcome == "OutputFailed":
        raise OSError(f"could not write {file}: {summary['message']}")
    if outcome != "Completed":
        written = f" ({file} holds the first {summary['seconds']:.1f} s)" if summary["files"] else ""
        raise_for(summary["message"] + written if summary["message"] else "nothing was recorded",
                  summary["failure_code"])
    device = summary["device"]
    return Recording(
        path=file, samples=summary["samples"], fillers=summary["fillers"], seconds=summary["seconds"],
        reconnects=summary["reconnects"], events_by_type=dict(summary["events_by_type"]),
        firmware={"dongle": device["dongle_firmware"] or None, "headset": device["headset_firmware"] or None},
        radio_channels={"dongle": radio_channel(device["dongle_channel"]),
                        "headset": radio_channel(device["headset_channel"])})


"""The Ondira four-channel EEG headset from Python.

::

    import ondira

    with ondira.Headset(simulate=True) as h:   # open() on enter, close() on exit
        print(h.firmware)                       # {"dongle": "2.4", "headset": "3.5"}
        h.calibrate([1, 2, 3, 4])
        h.start()
        chunk = h.read(seconds=2.0)             # 500 samples: chunk.data is (500, 4) µV
        h.mark("stimulus")                      # a marker on the stream, now
        h.stop()
    raw = chunk.to_mne(labels=["Fp1", "Fp2", "O1", "O2"])

:class:`Headset` opens the headset, reads and sets its properties, hands
out samples as :class:`Chunk` objects of numpy arrays with the stimulus
markers placed on them (:class:`Marker`), and records into an EDF+ file
while it reads (:meth:`Headset.record`); :func:`record` records straight
into an EDF+ file. Failures raise :class:`DeviceError`, a subclass of
``OSError`` that carries the library's status code; a marker that cannot be
placed raises :class:`MarkerError`, a ``RuntimeError``.

The library appends its settings log to ``log.txt`` in the current folder,
as it does for every program that uses it.
"""

from ._chunk import CHANNEL_COUNT, FLAG_LOST_SAMPLE, FLAG_NONE, SAMPLE_RATE, Chunk, Marker
from ._errors import DeviceError, Event, MarkerError, Status
from ._headset import Headset, Properties
from ._ondira import set_verbose as _set_verbose
from ._record import Recording, record

__all__ = [
    "CHANNEL_COUNT", "Chunk", "DeviceError", "Event", "FLAG_LOST_SAMPLE", "FLAG_NONE", "Headset",
    "Marker", "MarkerError", "Properties", "Recording", "SAMPLE_RATE", "Status", "record", "set_verbose",
]
__version__ = "1.0.0"


def set_verbose(on: bool = True) -> None:
    """Lets the library's trace messages through to standard error (off by default)."""
    if not isinstance(on, bool):
        raise TypeError(f"set_verbose takes True or False, not {type(on).__name__}")
    _set_verbose(on)

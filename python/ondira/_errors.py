"""Status codes, status events and the package's exception."""

from __future__ import annotations

import enum
from typing import NamedTuple, Optional

from . import _ondira


class Status(enum.IntEnum):
    """The library's status codes (``StatusData::statusCode``)."""

    DEVICE_IO_ERROR = 0
    DEVICE_NOT_RESPONDING = 1
    CHANNEL_1_SLOW_CALIBRATION = 2
    CHANNEL_2_SLOW_CALIBRATION = 3
    CHANNEL_3_SLOW_CALIBRATION = 4
    CHANNEL_4_SLOW_CALIBRATION = 5
    FTDI_LIBRARY_ERROR = 6
    FW_VERSION_ERROR = 7
    TRANSCEIVER_CHANNEL_ERROR = 8
    CHANNEL_1_CALIBRATED = 9
    CHANNEL_2_CALIBRATED = 10
    CHANNEL_3_CALIBRATED = 11
    CHANNEL_4_CALIBRATED = 12
    CHANNEL_1_CALIBRATING = 13
    CHANNEL_2_CALIBRATING = 14
    CHANNEL_3_CALIBRATING = 15
    CHANNEL_4_CALIBRATING = 16
    CHANNEL_1_NOT_CALIBRATING = 17
    CHANNEL_2_NOT_CALIBRATING = 18
    CHANNEL_3_NOT_CALIBRATING = 19
    CHANNEL_4_NOT_CALIBRATING = 20
    DEFAULT_CHANNEL_STATE = 21
    DEVICE_NOT_OPEN = 22

    @property
    def text(self) -> str:
        """The library's text for this code."""
        return _ondira.status_text(int(self))

    @property
    def type(self) -> str:
        """``"ERROR"``, ``"WARNING"`` or ``"INFO"``, as the library classes it."""
        return _ondira.status_type(int(self))


class Event(NamedTuple):
    """One status event of the library."""

    timestamp_ms: int
    """Wall clock when it arrived, milliseconds since 1970-01-01 UTC."""
    code: Status
    type: str
    """``"ERROR"``, ``"WARNING"`` or ``"INFO"``."""
    text: str


def make_event(timestamp_ms: int, code: int) -> Event:
    status = Status(code)
    return Event(timestamp_ms, status, status.type, status.text)


class DeviceError(OSError):
    """A call to the headset failed.

    ``code`` is the :class:`Status` of the library's status event that said
    why and ``text`` that event's text; both are ``None`` when the library
    reported the failure without an event (a radio channel the dongle did not
    confirm, a serial setting the driver refused).
    """

    code: Optional[Status]
    text: Optional[str]

    def __init__(self, message: str, code: Optional[int] = None, hint: str = "") -> None:
        self.code = Status(code) if code is not None and code in Status._value2member_map_ else None
        self.text = self.code.text if self.code is not None else None
        if self.code is not None:
            message = f"{message}: {self.text} ({self.code.name})"
        if hint:
            message = f"{message}. {hint}"
        super().__init__(message)


def raise_for(message: str, code: int) -> None:
    """Raises DeviceError for a failed call whose most severe event was `code` (-1: none)."""
    raise DeviceError(message, code if code >= 0 else None)


def not_open(action: str) -> DeviceError:
    return DeviceError(f"cannot {action}", Status.DEVICE_NOT_OPEN,
                       "Use 'with ondira.Headset(...) as h:' or call h.open() first")


class MarkerError(RuntimeError):
    """A marker could not be placed on the stream's time line.

    ``reason`` says why: ``"not streaming"`` (before :meth:`Headset.start`,
    after :meth:`Headset.stop`, or once the stream has ended), ``"before the
    first sample"`` (streaming has started, but no sample has come yet to
    place it by: read first, e.g. ``h.read(seconds=0.1)``), or ``"queue
    full"`` (more than a thousand markers at once wait to join the log: try
    again).
    """

    reason: str

    _HINTS = {
        "not streaming": "start streaming first (h.start())",
        "before the first sample": "no sample has arrived yet to place it by; read first, e.g. h.read(seconds=0.1)",
        "queue full": "too many markers at once are waiting to join the log; try again",
    }

    def __init__(self, reason: str, text: str) -> None:
        self.reason = reason
        hint = self._HINTS.get(reason, "")
        super().__init__(f"the marker {text!r} was not placed: {reason}" + (f": {hint}" if hint else ""))

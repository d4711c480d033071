"""The headset: open, settings, streaming and reading."""

from __future__ import annotations

import contextlib
import ipaddress
import math
import os
import numbers
import operator
import threading
import warnings
import weakref
from collections.abc import Iterable, Iterator, MutableMapping
from typing import Optional, Sequence, Union

from . import _ondira
from ._chunk import CHANNEL_COUNT, DEFAULT_LABELS, SAMPLE_RATE, Chunk, Marker
from ._edf import Recording, edf_path, radio_channel, record_labels
from ._errors import DeviceError, Event, MarkerError, Status, make_event, not_open, raise_for
from ._virtual import Lease, driver_library

DEFAULT_BUFFER_SECONDS = 60.0
MAX_BUFFER_SECONDS = 3600.0
MAX_READ_SECONDS = 366.0 * 24 * 3600
MAX_RECONNECT_SECONDS = 24 * 3600.0

# name: (lowest, highest) value it takes; None: read-only (a version text).
_PROPERTY_RANGES: dict[str, Optional[tuple[int, int]]] = {
    "USB FW version": None,
    "Ondira FW version": None,
    "USB transmission channel": (0, 15),
    "Ondira transmission channel": (0, 15),
    "Channel 1 Enabled": (0, 1),
    "Channel 2 Enabled": (0, 1),
    "Channel 3 Enabled": (0, 1),
    "Channel 4 Enabled": (0, 1),
    "BaudRate": (300, 921600),
    "WordLength": (5, 8),
    "StopBits": (0, 2),
    "Parity": (0, 4),
    "Read Timeout": (0, 255),
    "LatencyTimer": (2, 255),
}
# Read from dongle or headset: only while open.
_ASKED_OF_THE_DEVICE = ("USB FW version", "Ondira FW version", "USB transmission channel",
                        "Ondira transmission channel")
# Kept by the library while closed, and applied when the device is opened.
_SERIAL_SETTINGS = ("BaudRate", "WordLength", "StopBits", "Parity", "Read Timeout", "LatencyTimer")
# Events that mean: the dongle or the headset did not answer.
_NO_ANSWER = (Status.FW_VERSION_ERROR, Status.TRANSCEIVER_CHANNEL_ERROR)


def _real(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    number = float(value)
    if math.isnan(number):
        raise ValueError(f"{name} must be a number of seconds, not NaN")
    return number


def _channels(channels: object) -> list[int]:
    """Validates a list of channel numbers 1..4."""
    if isinstance(channels, (str, bytes)) or not isinstance(channels, Iterable):
        raise TypeError(f"channels must be a list of channel numbers 1..4, e.g. [1, 2, 3, 4], not {channels!r}")
    numbers_given = []
    for channel in channels:
        if isinstance(channel, bool):
            raise TypeError(f"channel numbers are 1..4, not {channel!r}")
        try:
            number = operator.index(channel)
        except TypeError:
            raise TypeError(f"channel numbers are whole numbers 1..4, not {channel!r}") from None
        if not 1 <= number <= CHANNEL_COUNT:
            raise ValueError(f"channel numbers are 1..4, not {number}")
        numbers_given.append(number)
    return numbers_given


class _Resources:
    """What a Headset holds outside Python: the device and the lease of the
    virtual headset. Released by close(), or when the Headset is collected
    or the interpreter exits while it is open."""

    def __init__(self, device: _ondira.Device) -> None:
        self.device = device
        self.lease: Optional[Lease] = None
        self.lock = threading.Lock()

    def close(self) -> None:
        with self.lock:
            self.device.close()
            if self.lease is not None:
                self.lease.release()
                self.lease = None


class Headset:
    """The headset behind one dongle.

    ``Headset()`` uses the D2XX driver library wherever the library finds it
    (``ONDIRA_FTD2XX_LIBRARY`` chooses a file); ``driver=`` names the file;
    ``simulate=True`` uses the virtual headset installed with the package,
    configured by ``sim=`` (the keys of the virtual headset, e.g.
    ``"loss=0.01 hum=50"``; ``sim=`` implies ``simulate=True``, and without it
    ``ONDIRA_SIM`` configures it).

    ``reconnect=S`` keeps a stream going through a lost headset (unplugged
    dongle, headset out of range or switched off): the headset is reopened
    every 2 s for up to S seconds, and the samples that were due meanwhile
    come as fillers (flag 1), so that the rows stay 4 ms apart. With the
    default 0 the stream ends, and :meth:`read` raises DeviceError once every
    sample received is read.

    Samples go from the library into a buffer of ``buffer_seconds`` of
    samples (default 60 s), from which :meth:`read` takes them. Read at
    least that often: when the buffer is full, newer samples are dropped,
    counted in :attr:`overflows`, reported once as a ``ResourceWarning`` and
    marked in the next chunk as fillers (:attr:`Chunk.dropped`).

    :meth:`mark` places a stimulus marker on the stream; every chunk carries
    the markers placed on its rows (:attr:`Chunk.markers`). :meth:`record`
    records the stream into an EDF+ file, markers included, while the script
    goes on reading and marking, until :meth:`stop_recording`.
    :meth:`publish` publishes it on the Lab Streaming Layer, for the lab's
    recorders and online analysis, until :meth:`unpublish` or :meth:`close`.

    Use it as a context manager (``open()`` on entry, ``close()`` on exit)::

        with ondira.Headset(simulate=True) as h:
            h.start()
            chunk = h.read(seconds=2.0)

    Every method may be called from any thread. Calls that talk to the
    device release the interpreter lock while they wait.
    """

    def __init__(self, driver: Union[str, "os.PathLike[str]", None] = None, simulate: bool = False,
                 sim: str = "", *, buffer_seconds: float = DEFAULT_BUFFER_SECONDS, reconnect: float = 0.0) -> None:
        seconds = _real("buffer_seconds", buffer_seconds)
        if not 0 < seconds <= MAX_BUFFER_SECONDS:
            raise ValueError(f"buffer_seconds must lie in (0, {MAX_BUFFER_SECONDS:g}], not {seconds:g}")
        wait = _real("reconnect", reconnect)
        if not 0 <= wait <= MAX_RECONNECT_SECONDS:
            raise ValueError(f"reconnect must lie in [0, {MAX_RECONNECT_SECONDS:g}] seconds, not {wait:g}")
        self._driver_path, self._sim_config = driver_library(driver, simulate, sim)
        capacity = max(1, math.ceil(seconds * SAMPLE_RATE))
        self._resources = _Resources(_ondira.Device(self._driver_path, capacity, wait,
                                                   virtual_headset=self._sim_config is not None))
        self._device = self._resources.device
        weakref.finalize(self, self._resources.close)
        self._lock = threading.Lock()
        self._overflow_warned = False
        self._events_warned = False
        self._markers_warned = False
        self.properties = Properties(self)
        """The library's fourteen settings by name: ``h.properties["Read Timeout"]``; assignment sets."""

    # --- open and close

    def open(self) -> Headset:
        """Opens the dongle and identifies it (nothing when open already).
        Raises DeviceError when no dongle answers."""
        with self._lock:
            if self._device.is_open:
                return self
            lease = Lease(self._driver_path, self._sim_config) if self._sim_config is not None else None
            try:
                ok, code = self._device.open()
                if not ok:
                    raise_for("could not open the headset", code)
            except BaseException:
                if lease is not None:
                    lease.release()
                raise
            self._resources.lease = lease
        return self

    def close(self) -> None:
        """Stops streaming and closes the device (nothing when closed), and
        ends a recording (:meth:`stop_recording` then returns what it wrote).
        Samples not read yet stay readable."""
        with self._lock:
            self._resources.close()

    def __enter__(self) -> Headset:
        return self.open()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def is_open(self) -> bool:
        return bool(self._device.is_open)

    @property
    def streaming(self) -> bool:
        """Started, not stopped, and not ended by the library on an error."""
        return bool(self._device.is_streaming)

    def __repr__(self) -> str:
        source = ("virtual headset" if self._sim_config is not None
                  else self._driver_path or "D2XX driver")
        state = "streaming" if self.streaming else "open" if self.is_open else "closed"
        return f"<ondira.Headset {source}, {state}>"

    # --- what the device reports

    @property
    def firmware(self) -> dict[str, Optional[str]]:
        """Firmware versions as the library reports them, e.g.
        ``{"dongle": "2.4", "headset": "3.5"}``; ``None`` for one that did not answer."""
        return {"dongle": self._ask("USB FW version"), "headset": self._ask("Ondira FW version")}

    @property
    def radio_channels(self) -> dict[str, Optional[int]]:
        """Radio channels, e.g. ``{"dongle": 9, "headset": 9}``; ``None`` for one that did not answer.
        Set them through :attr:`properties` (the headset's first, then the dongle's)."""
        return {"dongle": self._ask("USB transmission channel"), "headset": self._ask("Ondira transmission channel")}

    def _ask(self, name: str) -> Union[str, int, None]:
        try:
            return self.properties[name]
        except DeviceError as error:
            if error.code in _NO_ANSWER:
                return None
            raise

    def calibrate(self, channels: Iterable[int]) -> None:
        """Switches offset calibration on for `channels` (numbers 1..4) and off for the others;
        ``calibrate([])`` switches it off everywhere."""
        on = set(_channels(channels))
        for channel in range(1, CHANNEL_COUNT + 1):
            self.properties[f"Channel {channel} Enabled"] = 1 if channel in on else 0

    # --- streaming

    def start(self) -> None:
        """Starts streaming (nothing when it streams already: a second start would
        restart the time line). Raises DeviceError when the headset is not open
        or the command fails."""
        if not self._device.is_open:
            raise not_open("start streaming")
        if self._device.is_streaming:
            return
        ok, code = self._device.start()
        if not ok:
            raise_for("could not start streaming", code)

    def stop(self) -> None:
        """Stops streaming (nothing when closed), and ends a recording: a recording
        holds one stream (:meth:`stop_recording` then returns what it wrote).
        Samples not read yet stay readable."""
        if not self._device.is_open:
            return
        ok, code = self._device.stop()
        if not ok:
            raise_for("could not stop streaming", code)

    def read(self, seconds: Optional[float] = None, *, timeout: Optional[float] = None) -> Chunk:
        """Takes samples out of the buffer into a new :class:`Chunk`.

        ``read()`` returns at once with whatever has arrived (perhaps nothing).
        ``read(seconds=s)`` returns the next ``round(s * 250)`` samples,
        waiting while the headset streams, with the interpreter lock released
        so that other threads run; Ctrl-C interrupts the wait with
        KeyboardInterrupt (nothing read so far is lost). It returns fewer
        samples when ``timeout`` seconds have passed, or when streaming ends
        (:meth:`stop`, :meth:`close`, or the library stopping it on an error).

        The chunk carries the markers placed on its rows (:attr:`Chunk.markers`).
        A marker whose row comes later waits for it; one that reached the
        read only after its row was handed out comes with the next chunk at
        position 0; one placed after the last sample of a stream that has
        ended comes at the end of the chunk that ends it, or of the next
        read. So the chunks of successive reads, joined with
        :meth:`Chunk.concatenate`, hold every marker once, in order.

        Raises DeviceError once the buffer is empty after the library ended
        the stream on an error (the headset stopped answering, the dongle
        was unplugged).
        """
        if seconds is None:
            if timeout is not None:
                raise ValueError("timeout= goes with seconds=: read() without seconds never waits")
            rows = -1
        else:
            wanted = _real("seconds", seconds)
            if not 0 < wanted <= MAX_READ_SECONDS:
                raise ValueError(f"seconds must lie in (0, {MAX_READ_SECONDS:g}], not {wanted:g}")
            rows = round(wanted * SAMPLE_RATE)
            if rows == 0:
                raise ValueError(f"seconds={wanted:g} is less than one sample ({1000 // SAMPLE_RATE} ms)")
        limit = -1.0
        if timeout is not None:
            limit = _real("timeout", timeout)
            if limit < 0:
                raise ValueError(f"timeout must be 0 or more seconds, not {limit:g}")
            if math.isinf(limit):
                limit = -1.0

        data, timestamps, flags, offset_change, dropped, markers = self._device.read(rows, limit)
        chunk = Chunk(data, timestamps, flags, offset_change, dropped,
                      tuple(Marker(position, text, timestamp) for position, text, timestamp in markers))
        self._warn_overflow()
        self._warn_markers_lost()
        if len(chunk) == 0 and not chunk.markers:
            code = self._device.stream_end_code
            if code >= 0:
                hint = ("stop() and start() again" if code == Status.DEVICE_NOT_RESPONDING
                        else "close() and open() the headset again")
                raise DeviceError("the headset stopped streaming", code, hint)
        return chunk

    def mark(self, text: str) -> float:
        """Places a stimulus marker with `text` on the stream now, and returns
        its position on the stream's time line: a fractional row number,
        counted from the first row that :meth:`read` hands out after
        :meth:`start` (row n lies ``n / 250`` s after it).

        Any thread, at any time while streaming; it never waits (a few
        microseconds), so call it right at the stimulus. The marker comes
        with the chunk that holds its row (:attr:`Chunk.markers`), and goes
        into a running recording (:meth:`record`) as an annotation.

        `text`: 1 to 255 bytes of UTF-8, no control characters. Raises
        TypeError for anything but a str, ValueError for a text that is not
        a marker's (with the reason), and :class:`MarkerError` (a
        RuntimeError) when it cannot be placed: not streaming, no sample
        arrived yet since :meth:`start`, or too many markers at once.
        """
        if not isinstance(text, str):
            raise TypeError(f"a marker's text is a str, not {type(text).__name__}")
        try:
            encoded = text.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"the marker text {text!r} is not UTF-8 (it holds a lone surrogate)") from None
        placement, position, reason = self._device.mark(encoded)
        if placement == "placed":
            return float(position)
        if placement == "refused":
            raise ValueError(f"{text!r} is not a marker text: {reason} (1 to 255 bytes of UTF-8, "
                             "no control characters)")
        raise MarkerError(placement, text)

    # --- recording

    def record(self, path: Union[str, "os.PathLike[str]"], *, labels: Sequence[str] = DEFAULT_LABELS) -> None:
        """Records the stream into the EDF+ file `path` from now on, until
        :meth:`stop_recording`, while the script goes on reading and marking.

        The file is written as ``ondira record`` writes it, on a thread of
        its own: four signals ``EEG <label>`` at 250 Hz in µV, annotations
        for every marker (its text), status event, run of lost samples and
        offset change. `labels` are 1 to 12 ASCII characters each, without
        blanks or quotes. Recording needs no reads: samples go to the file
        whether or not :meth:`read` is called.

        Call it while the headset is open, before or after :meth:`start`. A
        recording holds one stream: :meth:`stop`, :meth:`close` and a
        :meth:`start` after the stream ended on a lost headset end it (a
        headset lost under ``reconnect=`` that comes back keeps it going,
        the time it was away written as lost samples). Reads the firmware
        versions and radio channels for the file's header first, unless
        they are known (up to a few seconds when the headset does not
        answer).

        Raises DeviceError when the headset is not open, RuntimeError while
        a recording runs already, FileNotFoundError for a missing folder,
        FileExistsError for a file that exists (a recording is never
        replaced), ValueError or TypeError for a bad path or labels, OSError
        when the file cannot be created.
        """
        file = edf_path(path)
        names = record_labels(labels)
        if not self._device.is_open:
            raise not_open("record")
        if self._device.is_recording:
            raise RuntimeError("a recording is running already: call h.stop_recording() first")
        # Claims the name, so that no other file is replaced by this one.
        os.close(os.open(file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        refusal, error = self._device.start_recording(file, list(names))
        if not refusal:
            return
        with contextlib.suppress(FileNotFoundError):
            os.remove(file)
        if refusal == "running":
            raise RuntimeError(f"{error}: call h.stop_recording() first")
        if refusal == "not open":
            raise not_open("record")
        raise OSError(f"could not record to {file}: {error}")

    @property
    def is_recording(self) -> bool:
        """A recording (:meth:`record`) runs."""
        return bool(self._device.is_recording)

    def stop_recording(self) -> Recording:
        """Ends the recording and completes its file; returns what was written.

        Without a running recording, returns the one that :meth:`stop`,
        :meth:`close` or a new :meth:`start` ended, once. A recording that
        ended before its first sample leaves no file (``samples`` is 0).
        Raises RuntimeError when there is no recording to return, OSError
        when the file could not be written completely (what was written is
        kept and valid).
        """
        summary = self._device.finish_recording()
        if summary is None:
            raise RuntimeError("no recording to stop: start one with h.record(path)")
        file = summary["path"]
        if summary["error"]:
            held = f"; {file} holds the first {summary['samples'] / SAMPLE_RATE:.1f} s" if summary["files"] else ""
            raise OSError(f"the recording to {file} failed: {summary['error']}{held}")
        return Recording(
            path=file, samples=summary["samples"], fillers=summary["fillers"],
            seconds=summary["samples"] / SAMPLE_RATE, reconnects=summary["reconnects"],
            events_by_type=dict(summary["events_by_type"]),
            firmware={"dongle": summary["dongle_firmware"] or None, "headset": summary["headset_firmware"] or None},
            radio_channels={"dongle": radio_channel(summary["dongle_channel"]),
                            "headset": radio_channel(summary["headset_channel"])},
            markers=summary["markers"])

    # --- the Lab Streaming Layer

    def publish(self, name: str = "Ondira", *, labels: Sequence[str] = DEFAULT_LABELS,
                interface: Optional[str] = None) -> str:
        """Publishes the stream on the Lab Streaming Layer, as ``ondira
        stream`` does, until :meth:`unpublish` or :meth:`close`; returns the
        EEG stream's source id.

        Two streams: ``name`` (type EEG, four float32 channels in µV at
        250 Hz, every sample with its acquisition time in LSL's clock; a
        lost sample comes as a copy of the one before, the filler of
        :attr:`Chunk.flags`) and ``name-Markers`` (type Markers: the texts of
        :meth:`mark`, status events, ``"N samples lost"`` for each run of
        fillers). Reading goes
        on as before; the streams do not take samples from :meth:`read`.
        `interface` (an IPv4 address of this machine, e.g. ``"127.0.0.1"``)
        publishes on that interface alone; by default, on every interface.

        Call it while the headset is open, before or after :meth:`start`.
        Raises DeviceError when the headset is not open, RuntimeError while
        the stream is published already, ValueError or TypeError for a bad
        name, labels or interface, OSError when the streams cannot be
        published (no port free, an address not of this machine).
        """
        if not isinstance(name, str):
            raise TypeError(f"name must be a str, not {type(name).__name__}")
        if not 1 <= len(name.encode("utf-8")) <= 200 or any(ord(c) < 32 for c in name):
            raise ValueError(f"name must be 1 to 200 bytes of UTF-8 without control characters, not {name!r}")
        names = record_labels(labels)
        address = ""
        if interface is not None:
            if not isinstance(interface, str):
                raise TypeError(f"interface must be a str, not {type(interface).__name__}")
            try:
                address = str(ipaddress.IPv4Address(interface))
            except ValueError:
                raise ValueError(f"interface must be an IPv4 address of this machine, e.g. '127.0.0.1', "
                                 f"not {interface!r}") from None
        if not self._device.is_open:
            raise not_open("publish")
        refusal, error = self._device.start_publishing(name, address, list(names))
        if refusal == "running":
            raise RuntimeError(f"{error}: call h.unpublish() first")
        if refusal == "not open":
            raise not_open("publish")
        if refusal:
            raise OSError(error)
        return str(self._device.publishing["source_id"])

    def unpublish(self) -> None:
        """Ends both streams (nothing when not publishing). Inlets see them
        end; the samples received until now have been sent."""
        self._device.stop_publishing()

    @property
    def published(self) -> Optional[dict[str, object]]:
        """While published: ``source_id``, ``inlets`` (feeds served now),
        ``samples`` and ``markers`` sent, ``dropped_for_inlets`` (samples lost
        by inlets that did not keep up); None when not publishing."""
        status = self._device.publishing
        if not status["running"]:
            return None
        return {key: status[key] for key in ("source_id", "inlets", "samples", "markers", "dropped_for_inlets")}

    # --- what was lost

    @property
    def overflows(self) -> int:
        """Samples dropped because the read buffer was full, since construction."""
        return int(self._device.overflows)

    @property
    def buffer_seconds(self) -> float:
        """How many seconds of samples the read buffer holds."""
        return self._device.capacity / SAMPLE_RATE

    def _warn_overflow(self) -> None:
        dropped = self._device.overflows
        if dropped and not self._overflow_warned:
            self._overflow_warned = True
            warnings.warn(
                f"ondira: the read buffer ({self.buffer_seconds:g} s) was full: {dropped} samples were dropped; "
                "they are fillers in the chunk (chunk.dropped) and counted in h.overflows. Read more often, or "
                "give Headset(buffer_seconds=...) more room", ResourceWarning, stacklevel=3)

    def _warn_markers_lost(self) -> None:
        lost = self._device.log_entries_lost
        if lost and not self._markers_warned:
            self._markers_warned = True
            warnings.warn(f"ondira: {lost} entries of the session's log were overwritten before a read took "
                          "their markers; markers among them are missing from the chunks. Read more often",
                          ResourceWarning, stacklevel=3)

    def events(self) -> list[Event]:
        """The library's status events since the last call, oldest first."""
        events = [make_event(timestamp, code) for timestamp, code in self._device.take_events()]
        dropped = self._device.events_dropped
        if dropped and not self._events_warned:
            self._events_warned = True
            warnings.warn(f"ondira: {dropped} status events were dropped because events() was not called for "
                          "long; the newest are kept", ResourceWarning, stacklevel=2)
        return events


class Properties(MutableMapping[str, Union[int, str]]):
    """The library's fourteen settings of one headset, by name.

    Reading asks the library for the current value: an ``int``, or a ``str``
    for the two firmware versions (read-only). The firmware versions and the
    radio channels are asked of dongle and headset, so they need the headset
    open and take up to about 1.2 s when it does not answer (DeviceError).
    Assigning checks the value's range and sets it; the serial settings
    (BaudRate, WordLength, StopBits, Parity, Read Timeout, LatencyTimer) set
    while closed are kept and applied when the headset is opened (the
    library's worker then sets Read Timeout to 100 ms). Unknown names raise
    KeyError.
    """

    def __init__(self, headset: Headset) -> None:
        self._headset = weakref.proxy(headset)

    def __getitem__(self, name: str) -> Union[int, str]:
        _check_name(name)
        device = self._headset._device
        if name in _ASKED_OF_THE_DEVICE and not device.is_open:
            raise not_open(f"read {name!r}")
        ok, code, integer, text = device.get_property(name)
        if not ok:
            raise_for(f"could not read {name!r}", code)
        return text if _PROPERTY_RANGES[name] is None else int(integer)

    def __setitem__(self, name: str, value: Union[int, bool]) -> None:
        _check_name(name)
        limits = _PROPERTY_RANGES[name]
        if limits is None:
            raise TypeError(f"{name!r} is read-only")
        if isinstance(value, bool):
            value = int(value)
        try:
            number = operator.index(value)
        except TypeError:
            raise TypeError(f"{name!r} takes a whole number, not {type(value).__name__}") from None
        low, high = limits
        if not low <= number <= high:
            raise ValueError(f"{name!r} takes {low}..{high}, not {number}")
        device = self._headset._device
        if name in _ASKED_OF_THE_DEVICE and not device.is_open:
            raise not_open(f"set {name!r}")
        ok, code = device.set_property(name, number)
        if ok:
            return
        if name in _SERIAL_SETTINGS and not device.is_open and device.get_property(name)[2] == number:
            return  # kept for the next open
        if code < 0:
            who = "dongle" if name.startswith("USB") else "headset" if name.startswith("Ondira") else "driver"
            raise DeviceError(f"could not set {name!r} to {number}: the {who} did not accept it")
        raise_for(f"could not set {name!r} to {number}", code)

    def __delitem__(self, name: str) -> None:
        raise TypeError("the headset's properties cannot be deleted")

    def __iter__(self) -> Iterator[str]:
        return iter(_PROPERTY_RANGES)

    def __len__(self) -> int:
        return len(_PROPERTY_RANGES)

    def __contains__(self, name: object) -> bool:
        return name in _PROPERTY_RANGES

    def __repr__(self) -> str:
        return f"<ondira.Headset properties: {', '.join(_PROPERTY_RANGES)}>"


def _check_name(name: object) -> None:
    if not isinstance(name, str) or name not in _PROPERTY_RANGES:
        raise KeyError(f"{name!r} is not a property of the headset; they are: {', '.join(_PROPERTY_RANGES)}")

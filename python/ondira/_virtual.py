"""The virtual headset installed with the package, and which driver library a
facade loads.

The virtual headset is one per process: configuring it replaces every
virtual device, also those that an open Headset holds. It is therefore
configured only while no Headset or recording uses it; a second user at the
same time must ask for the same configuration, and then gets the next
virtual device (``devices=N`` makes more than one).
"""

from __future__ import annotations

import os
import threading
from typing import Optional

from . import _ondira
from ._paths import VIRTUAL_HEADSET_CANDIDATES

# Reentrant: a Headset collected while the lock is held (the collector may
# run on any allocation) releases its lease from its finalizer.
_lock = threading.RLock()
_users = 0
_config: Optional[str] = None


def virtual_headset_path() -> str:
    """The virtual headset's library: in the build tree, or installed."""
    here = os.path.dirname(os.path.abspath(__file__))
    for relative in VIRTUAL_HEADSET_CANDIDATES:
        candidate = os.path.normpath(os.path.join(here, relative))
        if os.path.isfile(candidate):
            return candidate
    raise FileNotFoundError(
        "simulate=True: the virtual headset (libFtd2xx.so) is not where it belongs to this package "
        "(the build tree's sim folder, or <libdir>/ondira/sim once installed); build the project "
        "with ONDIRA_BUILD_SIM=ON, or install it")


def _configure(path: str, config: str) -> None:
    ok, error = _ondira.configure_virtual_headset(path, config)
    if not ok:
        reason = error.removeprefix("ondira_sim: ").replace("; the virtual devices will not open.", ".")
        raise ValueError(f"sim={config!r}: {reason} See sim/README.md for the keys.")


def check(path: str, config: str) -> None:
    """Refuses a configuration the virtual headset does not accept, at once
    when nobody uses it (it is configured afresh when used)."""
    global _config
    with _lock:
        if _users == 0:
            _configure(path, config)
            _config = config


class Lease:
    """One user of the virtual headset; configures it for the first user."""

    def __init__(self, path: str, config: str) -> None:
        global _users, _config
        with _lock:
            if _users == 0:
                _configure(path, config)
                _config = config
            elif config != _config:
                raise ValueError(
                    f"sim={config!r}: the virtual headset is in use with sim={_config!r} by another open "
                    "Headset or recording of this process; close it first, or ask for the same configuration")
            _users += 1
        self._held = True

    def release(self) -> None:
        global _users
        with _lock:
            if self._held:
                self._held = False
                _users -= 1


def driver_library(driver: object, simulate: object, sim: object) -> tuple[str, Optional[str]]:
    """The driver library a facade should load ("": as the library finds it)
    and, for the virtual headset, its configuration."""
    if driver is not None and not isinstance(driver, (str, os.PathLike)):
        raise TypeError(f"driver must be a path (str or os.PathLike), not {type(driver).__name__}")
    if not isinstance(simulate, bool):
        raise TypeError(f"simulate must be True or False, not {type(simulate).__name__}")
    if not isinstance(sim, str):
        raise TypeError(f"sim must be a str of KEY=VALUE pairs, not {type(sim).__name__}")
    if "\0" in sim:
        raise ValueError("sim must not contain NUL characters")
    simulating = simulate or sim != ""
    if driver is not None:
        if simulating:
            raise ValueError("driver= and simulate=/sim= exclude each other: pick the driver library or the "
                             "virtual headset")
        path = os.fspath(driver)
        if isinstance(path, bytes):
            path = os.fsdecode(path)
        if not os.path.isfile(path):
            raise FileNotFoundError(f"driver library not found: {path}")
        return os.path.abspath(path), None
    if not simulating:
        return "", None
    path = virtual_headset_path()
    # As the ondira command does: without sim=, ONDIRA_SIM configures it.
    config = sim if sim != "" else os.environ.get("ONDIRA_SIM", "")
    check(path, config)
    return path, config

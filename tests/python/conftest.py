"""Shared fixtures of the Python package's tests: a private working folder
(the library appends log.txt there), no virtual-headset settings inherited
from the environment, waiting on conditions, and the virtual headset's
control functions."""

import ctypes
import os
import time

import pytest

import ondira
from ondira import _virtual


@pytest.fixture(autouse=True)
def private_folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("ONDIRA_SIM", raising=False)
    monkeypatch.delenv("ONDIRA_FTD2XX_LIBRARY", raising=False)
    return tmp_path


def wait_for(condition, timeout=20.0):
    """Polls `condition` until it holds; False after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


@pytest.fixture
def sim():
    """The control functions of the very virtual headset the package loads."""
    library = ctypes.CDLL(_virtual.virtual_headset_path())
    library.ondira_sim_set.argtypes = [ctypes.c_int, ctypes.c_char_p]
    library.ondira_sim_unplug.argtypes = [ctypes.c_int]
    return library


@pytest.fixture
def headset():
    """Opens virtual headsets and closes them after the test, whatever happens."""
    opened = []

    def make(config="fast=1", **keywords):
        h = ondira.Headset(simulate=True, sim=config, **keywords)
        opened.append(h)
        return h.open()

    yield make
    for h in opened:
        h.close()


def sim_library_folder():
    return os.path.dirname(_virtual.virtual_headset_path())

"""Headsets dropped while they stream, collected in cycles, or left open when
the interpreter exits: the library's worker is stopped and nothing crashes."""

import gc
import os
import subprocess
import sys
import textwrap
import threading

import ondira


def streaming_headset(config="fast=1"):
    h = ondira.Headset(simulate=True, sim=config, buffer_seconds=1)
    h.open()
    h.start()
    assert len(h.read(seconds=0.1)) == 25
    return h


def test_headsets_collected_while_streaming_close_their_device():
    for _ in range(5):
        h = streaming_headset()
        del h                      # last reference: closed at once
        h = streaming_headset()
        h.itself = h               # a cycle: closed by the collector
        del h
        gc.collect()
    # The virtual headset is free again: a new configuration is accepted.
    with ondira.Headset(simulate=True, sim="fast=1 seed=7") as h:
        h.start()
        assert len(h.read(seconds=0.2)) == 50


def test_a_headset_collected_while_another_one_is_read_on_a_second_thread():
    keeper = streaming_headset("devices=2")
    results = []

    def reader():
        results.append(len(keeper.read(seconds=0.5)))

    thread = threading.Thread(target=reader)
    thread.start()
    other = streaming_headset("devices=2")   # the same configuration: the second virtual device
    del other
    gc.collect()
    thread.join()
    keeper.close()
    assert results == [125]


def test_the_interpreter_exits_cleanly_with_headsets_open_and_streaming(private_folder):
    script = textwrap.dedent("""
        import ondira
        a = ondira.Headset(simulate=True, sim="devices=2 fast=1")
        a.open(); a.start(); a.read(seconds=0.1)
        b = ondira.Headset(simulate=True, sim="devices=2 fast=1")
        b.open(); b.start()
        b.itself = b
        print("exiting", flush=True)
    """)
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", script], cwd=private_folder, env=environment,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "exiting\n"
    assert result.stderr == ""

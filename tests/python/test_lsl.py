"""Headset.publish: the stream found on loopback by an LSL query, as a lab's
tools look for it, with the labels and the source id; samples and markers
sent while the script reads; refusals with the reason; close ends it."""

import os
import re
import socket
import time

import pytest

import ondira

from conftest import wait_for

# Where LSL tools send their queries on a machine: the discovery port and the
# service ports above it.
LSL_PORTS = range(16571, 16604)


def resolve(name, seconds=1.0):
    """The short infos that answer a query for `name` on 127.0.0.1."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        query = f"LSL:shortinfo\r\nname='{name}'\r\n{s.getsockname()[1]} 77\r\n".encode()
        for port in LSL_PORTS:
            s.sendto(query, ("127.0.0.1", port))
        answers = set()
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            s.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                answer = s.recv(65536).decode()
            except socket.timeout:
                break
            if answer.startswith("77\r\n"):
                answers.add(answer[4:])
        return sorted(answers)


def field(xml, tag):
    found = re.search(f"<{tag}>([^<]*)</{tag}>", xml)
    return found.group(1) if found else None


def full_info(xml):
    port = int(field(xml, "v4data_port"))
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(b"LSL:fullinfo\r\n")
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    return data.decode()


def test_published_stream_is_found_described_and_fed_while_the_script_reads(headset):
    name = f"OndiraPython{os.getpid()}"
    h = headset("")
    source_id = h.publish(name, labels=("Fp1", "Fp2", "O1", "O2"), interface="127.0.0.1")
    assert source_id.startswith("ondira-") and source_id.endswith("-virtual-dongle-channel-9")
    answers = []
    assert wait_for(lambda: answers.extend(resolve(name, 0.3)) or answers)
    eeg = answers[0]
    assert (field(eeg, "type"), field(eeg, "channel_count"), field(eeg, "source_id")) == ("EEG", "4", source_id)
    assert float(field(eeg, "nominal_srate")) == 250
    labels = re.findall(r"<label>([^<]*)</label>", full_info(eeg))
    assert labels == ["Fp1", "Fp2", "O1", "O2"]
    assert resolve(name + "-Markers")

    h.start()
    chunk = h.read(seconds=1.0)   # reads take every sample as before
    assert len(chunk) == 250
    h.mark("go")
    assert wait_for(lambda: h.published["samples"] >= 250 and h.published["markers"] >= 1)
    assert h.published["inlets"] == 0

    h.unpublish()
    assert h.published is None
    assert resolve(name, 0.5) == []
    assert len(h.read(seconds=0.5)) == 125   # the stream goes on unpublished
    h.publish(name, interface="127.0.0.1")   # and may be published again
    h.close()
    assert h.published is None
    assert resolve(name, 0.5) == []


def test_publish_refusals_say_why(headset):
    h = ondira.Headset(simulate=True, sim="fast=1")
    with pytest.raises(ondira.DeviceError, match="cannot publish"):
        h.publish()
    h = headset()
    for keywords, error, text in [
        ({"name": ""}, ValueError, "name must be 1 to 200 bytes"),
        ({"name": "x" * 201}, ValueError, "name must be 1 to 200 bytes"),
        ({"name": 7}, TypeError, "name must be a str"),
        ({"interface": "localhost"}, ValueError, "IPv4 address of this machine"),
        ({"labels": ("a", "b")}, ValueError, "four"),
        ({"interface": "192.0.2.254"}, OSError, "not an address of this machine"),
    ]:
        with pytest.raises(error, match=text):
            h.publish(**keywords)
        assert h.published is None
    h.publish(f"OndiraTwice{os.getpid()}", interface="127.0.0.1")
    with pytest.raises(RuntimeError, match="published already"):
        h.publish(f"OndiraTwice{os.getpid()}", interface="127.0.0.1")

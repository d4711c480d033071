#!/usr/bin/env python3
"""Records with the ondira command against the virtual headset (losses at
known packets, calibration on), then reads the EDF+ file back with MNE-Python,
a reader independent of the EDFlib that wrote it, and compares it with the CSV
and the events CSV written alongside.

Usage: check_edf_with_mne.py ONDIRA_PROGRAM WORK_FOLDER
"""

import csv
import datetime
import os
import shutil
import subprocess
import sys

import numpy as np

try:
    import mne
except ImportError:
    sys.exit("MNE-Python is missing: install python3-mne (./scripts/deps.sh does)")

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)


def near(a, b, tolerance=1e-3):
    return abs(a - b) <= tolerance


program, work = sys.argv[1], sys.argv[2]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
base = os.path.join(work, "mne")
environment = {k: v for k, v in os.environ.items() if k not in ("ONDIRA_FTD2XX_LIBRARY", "ONDIRA_SIM")}
environment["TZ"] = "UTC"
result = subprocess.run(
    [program, "record", "--sim", "fast=1 drop=100,101,150 seed=5", "--seconds", "5.5",
     "--labels", "Fp1,Fp2,O1,O2", "--format", "edf,csv,events", "--output", base],
    cwd=work, env=environment, capture_output=True, text=True, timeout=120)
print(result.stdout)
if result.returncode != 0:
    sys.exit("ondira record failed (%d): %s" % (result.returncode, result.stderr))

with open(base + ".csv", newline="") as f:
    rows = list(csv.reader(f))
with open(base + ".events.csv", newline="") as f:
    event_rows = list(csv.reader(f))
check(event_rows[0] == ["kind", "onset_s", "timestamp_ms", "code", "type", "text"],
      "events header %r" % event_rows[0])
events = [row for row in event_rows[1:] if row[0] == "status"]
header, samples = rows[0], rows[1:]
check(header == ["timestamp_ms", "Fp1_uV", "Fp2_uV", "O1_uV", "O2_uV", "flag", "offset_change_index"],
      "CSV header %r" % header)
check(len(samples) == 1375, "1375 samples in the CSV, not %d" % len(samples))
values = np.array([[int(v) for v in row[1:5]] for row in samples]).T
flags = [int(row[5]) for row in samples]

# 5.5 s leave the file room for every annotation: none is merged.
raw = mne.io.read_raw_edf(base + ".edf", preload=True, verbose="error")
check(raw.ch_names == ["EEG Fp1", "EEG Fp2", "EEG O1", "EEG O2"], "channel names %r" % raw.ch_names)
check(raw.info["sfreq"] == 250.0, "sampling rate %r" % raw.info["sfreq"])
check(raw.n_times == 1500, "six data records of one second: %d samples" % raw.n_times)
units = set(getattr(raw, "_orig_units", {}).values())
check(units <= {"uV", "µV"} and units, "physical dimension %r" % units)
microvolts = raw.get_data() * 1e6
check(np.array_equal(np.rint(microvolts[:, :1375]).astype(int), values),
      "EDF+ values equal the CSV's after rounding")
check(np.abs(microvolts[:, :1375] - values).max() <= 38570.4 / 65535 / 2 + 1e-6, "within half a digital step")
check(np.array_equal(np.rint(microvolts[:, 1375:]).astype(int), np.repeat(values[:, -1:], 125, axis=1)),
      "the last second completed with the last sample")
first = int(samples[0][0])
start = datetime.datetime.fromtimestamp(first // 1000, datetime.timezone.utc)
check(raw.info["meas_date"] == start, "start %s, not %s" % (raw.info["meas_date"], start))

annotations = [(round(a["onset"], 4), round(a["duration"], 4), a["description"]) for a in raw.annotations]
print("\n".join("%8.4f %6.4f %s" % a for a in annotations))

# Runs of lost samples: packets 100 and 101 (samples 500..509), 150 (750..754).
expected_runs = []
i = 0
while i < len(flags):
    if flags[i] == 1:
        j = i
        while j < len(flags) and flags[j] == 1:
            j += 1
        expected_runs.append((i / 250, (j - i) / 250, "%d samples lost" % (j - i)))
        i = j
    else:
        i += 1
check([(r[0], r[1]) for r in expected_runs] == [(2.0, 0.04), (3.0, 0.02)], "filler runs %r" % expected_runs)
for onset, duration, text in expected_runs:
    check(any(near(a[0], onset) and near(a[1], duration) and a[2] == text for a in annotations),
          "annotation %r at %.3f s" % (text, onset))

offset_changes = [(k / 250, "Offset change, channel %d" % ((flag - 2) % 4 + 1))
                  for k, flag in enumerate(flags) if flag >= 2]
check(len(offset_changes) > 0, "calibration changed offsets")
found = [a for a in annotations if a[2].startswith("Offset change")]
check(len(found) == len(offset_changes), "%d offset changes annotated, %d flagged"
      % (len(found), len(offset_changes)))
for (onset, text), a in zip(offset_changes, found):
    check(near(a[0], onset) and a[2] == text, "%r at %.3f s, found %r" % (text, onset, a))

# Every status event of the events CSV, in order (texts longer than EDFlib's
# 40 bytes shortened at a word, ending in "...").
event_annotations = [a for a in annotations
                     if not a[2].startswith(("Offset change", "Recording ends")) and "samples lost" not in a[2]]
check(len(events) > 0, "status events recorded")
check(len(event_annotations) == len(events), "%d event annotations, %d events"
      % (len(event_annotations), len(events)))
for event, a in zip(events, event_annotations):
    text = event[5]
    same = a[2] == text or (a[2].endswith("...") and text.startswith(a[2][:-3]) and len(a[2]) <= 40)
    check(same, "annotation %r for event %r" % (a[2], text))
    check(0 <= a[0] <= 5.5, "event onset %.3f within the recording" % a[0])
    check(abs(a[0] - min(float(event[1]), 5.496)) < 1e-3,
          "event onset %.4f in the EDF+, %s in the events file" % (a[0], event[1]))

ends = [a for a in annotations if a[2] == "Recording ends"]
check(len(ends) == 1 and near(ends[0][0], 5.5), "'Recording ends' at 5.5 s: %r" % ends)

if failures:
    sys.exit("%d check(s) failed" % len(failures))
print("EDF+ read back by MNE %s: all checks passed" % mne.__version__)

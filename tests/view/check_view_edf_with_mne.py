#!/usr/bin/env python3
"""Reads a recording made from ondira-view back with MNE-Python, a reader
independent of the EDFlib that wrote it, and compares it with the CSV written
alongside: channel names, rate, every value, the runs of lost samples.

Usage: check_view_edf_with_mne.py BASE LABEL1,LABEL2,LABEL3,LABEL4
"""

import csv
import sys

import numpy as np

try:
    import mne
except ImportError:
    sys.exit("MNE-Python is missing: install python3-mne (./scripts/deps.sh does)")

base, labels = sys.argv[1], sys.argv[2].split(",")
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)


with open(base + ".csv", newline="") as f:
    rows = list(csv.reader(f))
header, samples = rows[0], rows[1:]
check(header == ["timestamp_ms"] + [l + "_uV" for l in labels] + ["flag", "offset_change_index"],
      "CSV header %r" % header)
values = np.array([[int(v) for v in row[1:5]] for row in samples]).T
flags = [int(row[5]) for row in samples]
count = len(samples)

raw = mne.io.read_raw_edf(base + ".edf", preload=True, verbose="error")
check(raw.ch_names == ["EEG " + l for l in labels], "channel names %r" % raw.ch_names)
check(raw.info["sfreq"] == 250.0, "sampling rate %r" % raw.info["sfreq"])
check(raw.n_times == (count + 249) // 250 * 250, "%d samples for %d rows" % (raw.n_times, count))
microvolts = raw.get_data() * 1e6
check(np.abs(microvolts[:, :count] - values).max() <= 38570.4 / 65535 / 2 + 1e-6,
      "every value within half a digital step of the CSV's")

annotations = [(round(a["onset"], 4), round(a["duration"], 4), a["description"]) for a in raw.annotations]
runs = []
i = 0
while i < count:
    if flags[i] == 1:
        j = i
        while j < count and flags[j] == 1:
            j += 1
        runs.append((i / 250, (j - i) / 250, "%d samples lost" % (j - i)))
        i = j
    else:
        i += 1
lost = [a for a in annotations if a[2].endswith("samples lost")]
check(len(lost) == len(runs), "%d runs of lost samples annotated, %d in the CSV" % (len(lost), len(runs)))
for run, a in zip(runs, lost):
    check(abs(run[0] - a[0]) < 1e-3 and abs(run[1] - a[1]) < 1e-3 and run[2] == a[2],
          "run %r annotated as %r" % (run, a))
if count % 250:
    check(any(a[2] == "Recording ends" and abs(a[0] - count / 250) < 1e-3 for a in annotations),
          "'Recording ends' at %.3f s" % (count / 250))

if failures:
    sys.exit("%d check(s) failed" % len(failures))
print("%s.edf read back by MNE %s: %d samples, %d runs of lost samples, all checks passed"
      % (base, mne.__version__, count, len(runs)))

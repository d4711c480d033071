"""What read() costs per second of data (250 samples of four channels),
taken out of a full read buffer; the numbers go to standard output."""

import statistics
import sys
import time

import ondira


def fill(h):
    """Streams until the buffer is full (the stream drops samples)."""
    before = h.overflows
    h.start()
    deadline = time.monotonic() + 30
    while h.overflows == before:
        if time.monotonic() > deadline:
            sys.exit("the read buffer did not fill within 30 s")
        time.sleep(0.005)
    h.stop()


def main():
    with ondira.Headset(simulate=True, sim="fast=1", buffer_seconds=60) as h:
        fill(h)
        per_second = []
        for _ in range(60):
            started = time.perf_counter()
            chunk = h.read(seconds=1.0)
            per_second.append(time.perf_counter() - started)
            if len(chunk) != 250:
                sys.exit(f"read(seconds=1.0) gave {len(chunk)} samples, not 250")

        # A sample whose delivery was under way when stop() returned may
        # come once there is room, with fillers for those dropped before it:
        # they belong to the first stream's reads, not to the full buffer.
        time.sleep(0.2)
        h.read()
        fill(h)
        time.sleep(0.2)  # the second stream's late sample, if any, found the buffer full
        started = time.perf_counter()
        everything = h.read()
        whole = time.perf_counter() - started
        if len(everything) != 15000:
            sys.exit(f"read() of a full buffer gave {len(everything)} samples, not 15000")

    median = statistics.median(per_second) * 1e6
    print(f"read(seconds=1.0), 60 times: median {median:.1f} us, max {max(per_second) * 1e6:.1f} us "
          "per second of data (250 samples x 4 channels)")
    print(f"read() of 60 s at once: {whole * 1e6:.1f} us, {whole * 1e6 / 60:.2f} us per second of data")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Resident memory across many velk.sync calls on one folder: it must stay
flat (within 10% of its level after the first calls) if nothing leaks.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_rss.py build/demo/set [calls]
"""
import sys

import velk


def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main(folder, calls=1000):
    warm = max(1, calls // 20)  # allocator pools and caches settle first
    baseline = None
    for n in range(1, calls + 1):
        r = velk.sync(folder, progress=lambda s, f: None)
        r.to_json()
        if n == warm:
            baseline = rss_kb()
            print(f"after {n:5d} calls: RSS {baseline} kB (baseline)", flush=True)
        elif n % max(1, calls // 10) == 0 and baseline:
            now = rss_kb()
            print(f"after {n:5d} calls: RSS {now} kB ({100.0 * (now - baseline) / baseline:+.1f}%)",
                  flush=True)
    growth = (rss_kb() - baseline) / baseline
    print(f"growth {100 * growth:+.1f}% ({'flat' if growth <= 0.10 else 'GROWING'})")
    return 0 if growth <= 0.10 else 1


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 1000))

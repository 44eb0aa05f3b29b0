#!/usr/bin/env python3
"""velk.distributed against velk.sync on one set of long recordings: wall time
with 1, 2 and 4 local worker processes, bytes shuffled per hour of audio, and
whether the result is velk.sync's (it must be). The baseline, velk.sync on one
thread, runs in the same process first.

    PYTHONPATH=build/python /usr/bin/python3 bench/distributed_bench.py \\
        --simset build/bin/velk_simset [--recordings 100] [--minutes 10] \\
        [--workers 1,2,4] [--partitions 16] [--dir DIR]

--dir keeps the generated set and reuses it when it was made with the same
settings.
"""
import argparse
import json
import os
import subprocess
import sys
import time

import velk
import velk.distributed
from dask.distributed import Client, LocalCluster


def generate(simset, folder, recordings, minutes, events):
    stamp = os.path.join(folder, ".made-with")
    wanted = f"{recordings} {minutes} {events}"
    if os.path.exists(stamp) and open(stamp).read() == wanted:
        return 0.0
    start = time.perf_counter()
    devices = recordings // events
    unrelated = recordings - devices * events
    subprocess.run([simset, "--out", folder, "--events", str(events), "--devices", str(devices),
                    "--unrelated", str(unrelated), "--seconds", str(60 * minutes), "--snr", "10",
                    "--rate", "8000", "--seed", "5"], check=True, capture_output=True)
    with open(stamp, "w") as f:
        f.write(wanted)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--simset", required=True)
    parser.add_argument("--recordings", type=int, default=100)
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--events", type=int, default=10)
    parser.add_argument("--workers", default="1,2,4")
    parser.add_argument("--partitions", type=int, default=16)
    parser.add_argument("--dir", default="/tmp/velk-distributed-bench")
    args = parser.parse_args()

    made = generate(args.simset, args.dir, args.recordings, args.minutes, args.events)
    print(f"set: {args.recordings} recordings of {args.minutes:g} min in {args.dir}"
          f" (generated in {made:.0f} s)" if made else "")

    start = time.perf_counter()
    single = velk.sync(args.dir, threads=1)
    base = time.perf_counter() - start
    want = json.loads(single.to_json())
    hours = sum(m.duration for c in single.clusters for m in c) / 3600
    print(f"velk.sync, 1 thread: {base:.1f} s for {hours:.1f} h of audio "
          f"({len(single.clusters)} clusters)")

    print("workers | wall s | vs 1 thread | extract | match | form | refine "
          "| landmarks MB | histograms MB | MB shuffled per audio hour | same result")
    rows = []
    for workers in [int(w) for w in args.workers.split(",")]:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=None)
        client = Client(cluster)
        client.wait_for_workers(workers)
        start = time.perf_counter()
        got = velk.distributed.sync(args.dir, client=client, partitions=args.partitions)
        wall = time.perf_counter() - start
        client.close()
        cluster.close()
        f = got.figures
        shuffled = f["landmark_bytes"] + f["histogram_bytes"]
        same = json.loads(got.to_json()) == want
        rows.append((workers, wall, f))
        print(f"{workers} | {wall:.1f} | {base / wall:.2f}x | {f['extract_seconds']:.1f} | "
              f"{f['match_seconds']:.1f} | {f['form_seconds']:.2f} | "
              f"{f.get('refine_seconds', 0):.1f} | {f['landmark_bytes'] / 1e6:.1f} | "
              f"{f['histogram_bytes'] / 1e6:.1f} | {shuffled / 1e6 / hours:.1f} | "
              f"{'yes' if same else 'NO'}", flush=True)
        if not same:
            return 1

    # Worker-seconds per audio hour on one worker, by step, scaled to a cluster:
    # extraction and refinement divide across nodes; matching per job grows
    # with the pairs of recordings.
    workers, wall, f = rows[0]
    per_hour = workers * wall / hours
    print(f"one worker: {per_hour:.1f} worker-seconds per audio hour; at 100 nodes and this "
          f"job size about {100 * 3600 / per_hour:.0f} audio hours per cluster-hour "
          f"(if it scaled linearly)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

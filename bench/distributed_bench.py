#!/usr/bin/env python3
"""velk.distributed against velk.sync on one set of long recordings: wall time
with 1, 2 and 4 local worker processes, bytes shuffled per hour of audio, and
whether the result is velk.sync's (it must be). The baseline, velk.sync on one
thread, runs in the same process first.

    PYTHONPATH=build/python /usr/bin/python3 bench/distributed_bench.py \\
        --simset build/bin/velk_simset [--recordings 100] [--minutes 10] \\
        [--events 10] [--dry] [--workers 1,2,4] [--partitions 1,16] [--dir DIR]

--partitions lists the hash partitions to run: 1 judges each pair where its
votes are counted; more send partial histograms to be summed (a row each).
--dry makes the set without reverberation (quicker to make for big sets);
--baseline-last runs velk.sync after the rows, which then print as they end.
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
from dask.distributed import Client, LocalCluster, get_task_stream


def generate(simset, folder, recordings, minutes, events, dry):
    stamp = os.path.join(folder, ".made-with")
    wanted = f"{recordings} {minutes} {events}" + (" dry" if dry else "")
    if os.path.exists(stamp) and open(stamp).read() == wanted:
        return 0.0
    start = time.perf_counter()
    devices = recordings // events
    unrelated = recordings - devices * events
    subprocess.run([simset, "--out", folder, "--events", str(events), "--devices", str(devices),
                    "--unrelated", str(unrelated), "--seconds", str(60 * minutes), "--snr", "10",
                    "--rate", "8000", "--seed", "5"] + (["--no-reverb"] if dry else []),
                   check=True, capture_output=True)
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
    parser.add_argument("--partitions", default="1,16")
    parser.add_argument("--dry", action="store_true")
    parser.add_argument("--groups", type=int, default=None, help="groups of pairs (default: sync's)")
    parser.add_argument("--threads", type=int, default=1, help="velk.sync's threads")
    parser.add_argument("--baseline-last", action="store_true",
                        help="run velk.sync after the distributed runs (long sets: rows first)")
    parser.add_argument("--no-baseline", action="store_true",
                        help="no velk.sync: times only, results not compared")
    parser.add_argument("--dir", default="/tmp/velk-distributed-bench")
    args = parser.parse_args()

    made = generate(args.simset, args.dir, args.recordings, args.minutes, args.events, args.dry)
    print(f"set: {args.recordings} recordings of {args.minutes:g} min in {args.dir}"
          f" (generated in {made:.0f} s)" if made else "")

    def baseline():
        start = time.perf_counter()
        single = velk.sync(args.dir, threads=args.threads)
        wall = time.perf_counter() - start
        hours = sum(m.duration for c in single.clusters for m in c) / 3600
        print(f"velk.sync, {args.threads} thread(s): {wall:.1f} s for {hours:.1f} h of audio "
              f"({len(single.clusters)} clusters)", flush=True)
        return wall, json.loads(single.to_json())

    shown = {}

    def say(stage, fraction):  # by tenths on standard error, to follow a long run
        if shown.get(stage) != int(fraction * 10):
            shown[stage] = int(fraction * 10)
            print(f"{time.strftime('%H:%M:%S')} {stage} {fraction:.0%}", file=sys.stderr,
                  flush=True)

    base = None if args.baseline_last or args.no_baseline else baseline()
    # Bytes: landmarks and partial histograms as made (once each), and what the
    # workers fetched from one another (measured; a worker reads its own free).
    # Task-seconds: each step's time on one worker, whatever ran it.
    print("partitions | workers | wall s | vs velk.sync | extract | match | refine | task-s: "
          "extract, match, refine | landmarks MB | histograms MB | fetched MB | "
          "fetched MB per audio hour | same result")
    rows = []
    for partitions in [int(p) for p in args.partitions.split(",")]:
        for workers in [int(w) for w in args.workers.split(",")]:
            cluster = LocalCluster(n_workers=workers, threads_per_worker=1,
                                   dashboard_address=None)
            client = Client(cluster)
            client.wait_for_workers(workers)
            start = time.perf_counter()
            with get_task_stream(client) as tasks:
                got = velk.distributed.sync(args.dir, client=client, partitions=partitions,
                                            groups=args.groups, progress=say)
            wall = time.perf_counter() - start
            busy = {}
            for t in tasks.data:
                step = str(t["key"]).split("-")[1]
                step = "match" if step in ("votes", "judge") else "refine" if step == "check" else step
                busy[step] = busy.get(step, 0) + sum(s["stop"] - s["start"] for s in t["startstops"]
                                                     if s["action"] == "compute")
            client.close()
            cluster.close()
            f = got.figures
            fetched = sum(f["received_bytes"].values())
            hours = f["audio_seconds"] / 3600
            result = json.loads(got.to_json())
            rows.append((partitions, workers, wall, result))
            same = "-" if base is None else "yes" if result == base[1] else "NO"
            print(f"{partitions} | {workers} | {wall:.1f} | "
                  f"{'-' if base is None else f'{base[0] / wall:.2f}x'} | "
                  f"{f['extract_seconds']:.1f} | {f['match_seconds']:.1f} | "
                  f"{f.get('refine_seconds', 0):.1f} | {busy.get('extract', 0):.0f}, "
                  f"{busy.get('match', 0):.0f}, {busy.get('refine', 0):.0f} | "
                  f"{f['landmark_bytes'] / 1e6:.1f} | {f['histogram_bytes'] / 1e6:.1f} | "
                  f"{fetched / 1e6:.1f} | {fetched / 1e6 / hours:.1f} | {same}", flush=True)
            if same == "NO":
                return 1
    if base is None and not args.no_baseline:
        base = baseline()
        for partitions, workers, wall, result in rows:
            print(f"{partitions} partition(s), {workers} worker(s): {base[0] / wall:.2f}x "
                  f"velk.sync, same result: {'yes' if result == base[1] else 'NO'}")
        if any(result != base[1] for *_, result in rows):
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""velk.sync on a dask.distributed cluster, with the same result.

    from dask.distributed import Client
    import velk.distributed
    result = velk.distributed.sync("cards/", client=Client("tcp://scheduler:8786"))

Extraction is a map over recordings on the workers; each recording's
landmarks leave its worker as NumPy arrays. Matching splits the pairs of
recordings into groups by the smaller id; each group's task reads every
landmark (the limit on popular hashes counts all of a hash's landmarks, as the
whole run does), counts its pairs' votes and judges each pair where its
histogram is made, so only landmarks travel, never votes. With partitions > 1
the hashes are cut into that many parts matched apart, for workers that cannot
hold a whole job's landmarks: each pair's partial histograms then travel to
its group's judge, where they are summed exactly. The client forms the
clusters from the accepted pairs, and each cluster is refined on a worker,
which reads only its members' audio.
Workers must see the input files under the same paths as the client.

    python3 -m velk.distributed --scheduler tcp://host:8786 -f folder --json out.json
"""

import argparse
import operator
import os
import sys
import time
import uuid

import numpy as np

from . import Audio, Result, _channel, _settings, _velk

__all__ = ["sync"]


def _part_of(hashes, partitions):
    # Multiplicative hashing: the low bits of a landmark hash are one peak's
    # frequency bin, far from uniform.
    mixed = (hashes.astype(np.uint64) * np.uint64(0x9E3779B97F4A7C15)) >> np.uint64(32)
    return (mixed % np.uint64(partitions)).astype(np.int64)


def _extract(recording, designed, channel, partitions, store):
    """On a worker: one recording's landmarks, cut into partitions by hash."""
    extract, _ = _settings(designed)
    rec, frames, hashes, messages, failure = _velk.extract_recording(recording, extract, channel,
                                                                     store)
    table = tuple(a.astype(np.int32) for a in np.unique(frames, return_counts=True))
    summary = (rec, len(hashes), messages, failure, table, int(hashes.nbytes + frames.nbytes))
    if partitions == 1:
        return summary, (hashes, frames)
    part = _part_of(hashes, partitions)
    order = np.argsort(part, kind="stable")
    bounds = np.searchsorted(part[order], np.arange(partitions + 1))
    hashes, frames = hashes[order], frames[order]
    return (summary,) + tuple((hashes[bounds[p]:bounds[p + 1]], frames[bounds[p]:bounds[p + 1]])
                              for p in range(partitions))


def _match_and_judge(designed, refine, max_landmarks, groups, group, ids, *pieces):
    """On a worker holding every hash: one group's pairs matched and judged in place."""
    extract, cluster = _settings(designed)
    return _velk.match_and_judge(extract, cluster, refine, list(zip(ids, pieces)), max_landmarks,
                                 groups, group) + (0,)


def _match(max_landmarks, groups, group, ids, *pieces):
    """On a worker: one group's vote histograms over one partition's hashes."""
    a, b, offset, count, earliest, latest = _velk.match_part(list(zip(ids, pieces)),
                                                             max_landmarks, groups, group)
    # Bins come by pair: each pair's ids travel once, with its number of bins.
    starts = np.flatnonzero(np.r_[True, (a[1:] != a[:-1]) | (b[1:] != b[:-1])]
                            if len(a) else np.zeros(0, bool))
    n = np.diff(np.r_[starts, len(a)]).astype(np.int32)
    first = offset[starts]  # each pair's first offset: the others travel as distances from it
    # A bin of one vote spans no time: only the others carry their span.
    return (a[starts], b[starts], n, first, _pack(offset - np.repeat(first, n)), _pack(count),
            _pack(earliest), _pack((latest - earliest)[count > 1]))


def _pack(column):
    """Integers as their distance from the smallest, in the narrowest unsigned type."""
    if len(column) == 0:
        return 0, np.zeros(0, np.uint8)
    low = int(column.min())
    span = int(column.max()) - low
    kind = np.uint8 if span < 1 << 8 else np.uint16 if span < 1 << 16 else np.uint32
    return low, (column.astype(np.int64) - low).astype(kind)


def _unpack(packed, kind):
    low, column = packed
    return (column.astype(np.int64) + low).astype(kind)


def _bins(part):
    """A part's bins as columns: offset, count, earliest and latest time of A."""
    n, first = part[2], part[3]
    offset = _unpack(part[4], np.int64) + np.repeat(first.astype(np.int64), n)
    count = _unpack(part[5], np.uint32)
    earliest = _unpack(part[6], np.int64)
    latest = earliest.copy()
    latest[count > 1] += _unpack(part[7], np.int64)
    return (offset.astype(np.int32), count, earliest.astype(np.int32), latest.astype(np.int32))


def _nbytes(value):
    if isinstance(value, np.ndarray):
        return value.nbytes
    if isinstance(value, tuple):
        return sum(_nbytes(v) for v in value)
    return 8


def _judge(designed, refine, tables, *parts):
    """On a worker: each pair's histogram summed over the partitions, measured and judged."""
    extract, cluster = _settings(designed)
    shipped = int(sum(_nbytes(p) for p in parts))
    a, b, n = (np.concatenate([p[k] for p in parts]) for k in range(3))
    bins = [_bins(p) for p in parts]
    cols = [np.concatenate([x[k] for x in bins]) for k in range(4)]
    accepted, candidates, peaks = _velk.judge_pairs(extract, cluster, refine, tables,
                                                    np.repeat(a, n), np.repeat(b, n), *cols)
    return accepted, candidates, peaks, shipped


def _received(token, dask_worker=None):
    """On a worker: bytes it fetched from the others for this run, by kind of value."""
    got = {}
    for transfer in dask_worker.transfer_incoming_log:
        for key, nbytes in transfer["keys"].items():
            key = str(key)
            if key.endswith(token):
                kind = key.split("-")[1]
                got[kind] = got.get(kind, 0) + nbytes
    return got


def _refine(cluster, members, peaks, designed, keep_unverified, threads):
    extract, params = _settings(designed)
    return _velk.refine_cluster(cluster, members, peaks, extract, params, keep_unverified,
                                threads)


def _check(a, b, candidate, designed, keep_unverified):
    extract, params = _settings(designed)
    return _velk.check_candidate(a, b, candidate, extract, params, keep_unverified)


def _inputs(inputs):
    if isinstance(inputs, Audio):
        inputs = [inputs]
    if isinstance(inputs, (str, bytes, os.PathLike)):
        path = os.fsdecode(inputs)
        if not os.path.exists(path):
            raise FileNotFoundError(2, "No such file or folder", path)
        return (path, []) if os.path.isdir(path) else ("", [path])
    paths = []
    for n, item in enumerate(inputs, start=1):
        if isinstance(item, Audio):
            # The workers read their recordings themselves, on other machines.
            raise TypeError(f"velk.distributed reads files on the workers; {item.name or f'audio{n}'}"
                            " is audio in memory: write it to a file they can reach, or use velk.sync")
        if not isinstance(item, (str, bytes, os.PathLike)):
            raise TypeError(f"velk.distributed takes file paths, not {type(item).__name__}")
        path = os.fsdecode(item)
        if not os.path.exists(path):
            raise FileNotFoundError(2, "No such file or folder", path)
        paths.append(path)
    if not paths:
        raise ValueError("nothing to sync: no input was given")
    return "", paths


def sync(paths, client=None, store=None, partitions: int = 1, groups=None, *,
         refine: bool = True, channel="auto", reference=None, keep_unverified: bool = False,
         threads: int = 1, progress=None, **designed_parameters) -> Result:
    """velk.sync(paths, ...) on the workers of a dask.distributed client.

    paths: a folder or a list of files, as for velk.sync, readable by every
        worker under the same names.
    client: a dask.distributed Client (None: a LocalCluster for this call).
    store: the feature store's file (velk's SQLite store of landmarks), which
        every worker must reach: recordings it holds unchanged are read from
        it, new ones are kept in it. Workers write to it one at a time, through
        SQLite's locks, which a network file system may not honour.
    partitions: parts of the hash space matched apart (more than one: less
        memory per task, but the pairs' partial histograms travel); groups:
        groups of recording pairs matched apart (default: two per worker).
    threads: threads per refinement task.
    progress: a callable (stage, fraction), as velk.sync's, called on the
        client as the tasks of each stage finish.
    The other arguments are velk.sync's. The result is velk.sync's for the same
    recordings and settings, whatever the numbers of workers and partitions;
    result.figures holds seconds per step and bytes shuffled (received_bytes:
    what workers fetched from one another, by kind of value).
    """
    if isinstance(partitions, bool) or not isinstance(partitions, int) or partitions < 1:
        raise ValueError(f"partitions must be a positive number, not {partitions!r}")
    if groups is not None and (isinstance(groups, bool) or not isinstance(groups, int)
                               or groups < 1):
        raise ValueError(f"groups must be None or a positive number, not {groups!r}")
    extract, cluster = _settings(designed_parameters)
    channel = _channel(channel)
    folder, files = _inputs(paths)
    job = _velk.Job(folder, files, extract, cluster, channel, bool(refine), bool(keep_unverified),
                    os.fsdecode(reference) if reference is not None else "",
                    os.fsdecode(store) if store is not None else "")
    own = None
    if client is None:
        from dask.distributed import Client, LocalCluster
        own = LocalCluster(threads_per_worker=1, dashboard_address=None)
        client = Client(own)
    if groups is None:  # enough to keep every worker busy; each reads every landmark
        groups = 2 * max(1, len(client.scheduler_info()["workers"]))
    try:
        return _run(job, client, partitions, groups, designed_parameters, channel,
                    bool(refine), bool(keep_unverified), threads, progress)
    finally:
        if own is not None:
            client.close()
            own.close()


def _run(job, client, partitions, groups, designed, channel, refine, keep_unverified, threads,
         progress):
    token = uuid.uuid4().hex[:8]
    try:
        return _steps(job, client, partitions, groups, designed, channel, refine,
                      keep_unverified, threads, progress, token)
    except BaseException:
        # Ctrl-C or a failure: the cluster drops this run's tasks, not only the client.
        from dask.distributed import Future
        client.cancel([Future(k, client, inform=False) for k in list(client.futures)
                       if str(k).endswith(token)])
        raise


def _steps(job, client, partitions, groups, designed, channel, refine, keep_unverified, threads,
           progress, token):
    figures = {}  # seconds per step, bytes shuffled
    clock = time.perf_counter()

    def lap(step):
        nonlocal clock
        now = time.perf_counter()
        figures[step + "_seconds"] = now - clock
        clock = now

    def items(futures, k, names):
        # One batch per call: the scheduler hears of many small tasks at once.
        return client.map(operator.getitem, futures, [k] * len(futures),
                          key=[f"{n}-{token}" for n in names])

    def gather(futures, stage):
        if progress is not None and futures:
            from dask.distributed import as_completed
            progress(stage, 0.0)
            for done, _ in enumerate(as_completed(futures), start=1):
                progress(stage, done / len(futures))
        return client.gather(futures)

    recordings = job.recordings
    ids = [r.id for r in recordings]
    n = len(recordings)
    extracted = client.map(_extract, recordings, [designed] * n, [channel] * n,
                           [partitions] * n, [job.store] * n,
                           key=[f"velk-extract-{i}-{token}" for i in ids])
    summaries = gather(items(extracted, 0, [f"velk-summary-{i}" for i in ids]), "extracting")
    lap("extract")
    job.extracted([(s[0], s[1], s[2], s[3]) for s in summaries])
    figures["landmark_bytes"] = sum(s[5] for s in summaries)
    figures["audio_seconds"] = sum(s[0].duration for s in summaries if s[3] is None)

    # The popular-hash limit grows with the hours of audio: known once all are read.
    # A pair's votes are counted in its group (of pairs by smaller id), each
    # partition of hashes apart; with one partition they are judged there.
    pieces = [items(extracted, p + 1, [f"velk-piece-{i}-{p}" for i in ids])
              for p in range(partitions)]
    if partitions > 1:
        tables = client.scatter({s[0].id: s[4] for s in summaries if s[3] is None},
                                broadcast=True)
    judged = []
    for g in range(groups):
        if partitions == 1:
            judged.append(client.submit(_match_and_judge, designed, refine, job.max_landmarks,
                                        groups, g, ids, *pieces[0],
                                        key=f"velk-match-{g}-{token}"))
            continue
        parts = [client.submit(_match, job.max_landmarks, groups, g, ids, *pieces[p],
                               key=f"velk-votes-{p}-{g}-{token}") for p in range(partitions)]
        judged.append(client.submit(_judge, designed, refine, tables, *parts,
                                    key=f"velk-judge-{g}-{token}"))
    accepted, candidates, peaks = [], [], {}
    figures["histogram_bytes"] = 0
    for a, c, p, shipped in gather(judged, "clustering"):
        accepted += a
        candidates += c
        peaks.update(p)  # each pair is judged in one group only
        figures["histogram_bytes"] += shipped
    del extracted, pieces, judged
    figures["received_bytes"] = {}
    for got in client.run(_received, token).values():
        for kind, nbytes in got.items():
            figures["received_bytes"][kind] = figures["received_bytes"].get(kind, 0) + nbytes
    lap("match")
    job.form(accepted, candidates)
    lap("form")

    if refine:
        placed = {s[0].id: s[0] for s in summaries if s[3] is None}
        # A cluster's refinement needs only the histogram peaks of its own
        # pairs: one pass over the peaks sorts them by cluster.
        clusters = job.clusters
        home = {i: n for n, c in enumerate(clusters) for i in c.ids}
        peaks_of = [{} for _ in clusters]
        for (a, b), lags in peaks.items():
            if a in home and home[a] == home.get(b):
                peaks_of[home[a]][(a, b)] = lags
        refined = [client.submit(_refine, c, [placed[i] for i in c.ids], peaks_of[n],
                                 designed, keep_unverified, threads,
                                 key=f"velk-refine-{n}-{token}")
                   for n, c in enumerate(clusters)]
        job.refined(gather(refined, "refining"))
        checks = job.to_check()
        fits = [client.submit(_check, placed[c.a], placed[c.b], c, designed, keep_unverified,
                              key=f"velk-check-{i}-{token}") for i, c in checks]
        job.joined({i: fit for (i, _), fit in zip(checks, gather(fits, "second look"))})
        lap("refine")
    result = Result(job.finish())
    result.figures = figures
    return result


def _main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m velk.distributed",
                                     description="velk.sync on a dask.distributed cluster.")
    parser.add_argument("--scheduler", help="the scheduler's address (none: a local cluster)")
    parser.add_argument("--workers", type=int, default=None, help="workers of the local cluster")
    parser.add_argument("-f", "--folder", required=True, help="folder of recordings")
    parser.add_argument("--json", help="write the result as `Velk --json` does")
    parser.add_argument("--partitions", type=int, default=1)
    parser.add_argument("--store", help="the feature store's file, which every worker reaches")
    args = parser.parse_args(argv)
    from dask.distributed import Client, LocalCluster
    cluster = None
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1)
        client = Client(cluster)
        print(f"Velk: dashboard at {client.dashboard_link}", file=sys.stderr)
    shown = {}

    def report(stage, fraction):  # a line per tenth of each stage
        tenth = int(fraction * 10)
        if shown.get(stage) != tenth:
            shown[stage] = tenth
            print(f"Velk: {stage} {10 * tenth}%", file=sys.stderr, flush=True)

    try:
        result = sync(args.folder, client=client, store=args.store, partitions=args.partitions,
                      progress=report)
    except KeyboardInterrupt:
        print("Velk: interrupted; the cluster dropped this run's tasks", file=sys.stderr)
        return 130
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    if args.json:
        scratch = args.json + ".part"
        with open(scratch, "w") as f:
            f.write(result.to_json())
        os.replace(scratch, args.json)
    for n, members in enumerate(result.clusters, start=1):
        print(f"cluster {n}: " + ", ".join(f"{m.name} {m.offset:+.6f}" for m in members))
    return 0


if __name__ == "__main__":
    from velk import distributed as _self  # the workers import the functions from velk.distributed
    sys.exit(_self._main())

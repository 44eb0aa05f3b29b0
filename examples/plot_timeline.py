#!/usr/bin/env python3
"""Syncs a folder and draws its timeline: one row per recording, a bar from
its offset for its length, one colour per cluster.

    python3 examples/plot_timeline.py FOLDER [timeline.png]
"""
import sys

import matplotlib

matplotlib.use("Agg")  # draws to a file; no display needed
import matplotlib.pyplot as plt

import velk


def main(folder, out="timeline.png"):
    result = velk.sync(folder)
    rows = [(c, m) for c, cluster in enumerate(result.clusters) for m in cluster]
    fig, ax = plt.subplots(figsize=(10, 0.4 * len(rows) + 1.2))
    colours = plt.get_cmap("tab10")
    for y, (c, m) in enumerate(rows):
        ax.barh(y, m.duration, left=m.offset, color=colours(c % 10),
                edgecolor="black" if m.refined else "none")
    ax.set_yticks(range(len(rows)), [m.name for _, m in rows])
    ax.invert_yaxis()
    ax.set_xlabel("seconds after the cluster's first recording")
    ax.set_title(f"{folder}: {len(result.clusters)} clusters (outlined: refined)")
    fig.tight_layout()
    fig.savefig(out)
    print(out)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(*sys.argv[1:3])

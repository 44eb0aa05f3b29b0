"""Find which recordings were made at the same event, and their start offsets.

    import velk
    result = velk.sync("cards/")            # a folder, a list of files or of velk.Audio
    for cluster in result.clusters:
        for m in cluster:
            print(m.name, round(m.offset, 3))
"""

import json as _json
import os as _os
import re as _re
from dataclasses import dataclass, field
from typing import List, Optional

import numpy as _np

from . import _velk
from ._velk import Error, VkClusterSyncParams, VkExtractParams

__all__ = ["sync", "extract", "Audio", "Result", "Member", "Error",
           "VkExtractParams", "VkClusterSyncParams"]


class Audio:
    """Audio held in memory, for velk.sync and velk.extract.

    array: 1-D (mono) or 2-D (frames x channels; pass a channels x frames array
    as array.T) of int16 (full scale 32768), float32 or float64 (in [-1, 1]),
    at any sample rate. int16, float32 and float64 arrays in native byte order
    are read where they are, whatever their strides: keep them unchanged until
    the result is no longer used. Other types are converted (a copy).
    """

    def __init__(self, array, rate: int, name: Optional[str] = None):
        a = _np.asarray(array)
        if a.dtype not in (_np.int16, _np.float32, _np.float64) or not a.dtype.isnative:
            if a.dtype.kind == "i":  # full scale of its width, like a file of that depth
                a = a.astype(_np.float64) / float(2 ** (8 * a.dtype.itemsize - 1))
            elif a.dtype.kind == "f":
                a = a.astype(_np.float64)
            else:
                raise TypeError(f"samples of type {a.dtype} are not audio")
        if isinstance(rate, bool) or not isinstance(rate, (int, _np.integer)) or rate <= 0:
            raise ValueError(f"the sample rate must be a positive whole number of Hz, not {rate!r}")
        self.array = a
        self.rate = int(rate)
        self.name = name

    def _view(self):
        return _velk.memory_audio(self.array, self.rate)


@dataclass
class Member:
    """One recording of a cluster; offsets in seconds after the cluster's reference."""
    id: int
    name: str
    path: str
    offset: float                 # best estimate (refined where refined is True)
    coarse_offset: float          # the landmark clustering's offset
    drift_ppm: Optional[float]    # clock drift against the reference, None when not measured
    refined: bool                 # offset confirmed by waveform correlation
    confidence: Optional[float]   # that correlation's peak-to-background ratio
    duration: float               # seconds of audio
    notes: List[str] = field(default_factory=list)
    # A recording paused or cut: (second of the file, offset) where each part
    # starts; empty for a recording in one piece.
    parts: List[tuple] = field(default_factory=list)


class Result:
    """What velk.sync found.

    clusters: list of clusters, each a list of Member, in the tool's order.
    skipped:  files not analysed, as dicts (path, reason, problem).
    notes:    the engine's warnings and notes, one line each.
    """

    def __init__(self, run):
        self._run = run
        self.notes: List[str] = list(run.notes)
        self.skipped = list(run.skipped)
        self.clusters: List[List[Member]] = []
        for cluster in run.clusters:
            members = []
            for m in cluster:
                said = [n for n in self.notes if _mentions(n, m["name"], m["path"])]
                if m["alone"]:
                    said.append("alone: " + m["alone"])
                members.append(Member(m["id"], m["name"], m["path"], m["offset"],
                                      m["coarse_offset"], m["drift_ppm"], m["refined"],
                                      m["confidence"], m["duration"], said,
                                      list(m["parts"])))
            self.clusters.append(members)

    def to_json(self, truth=None) -> str:
        """The document `Velk --json` writes for the same run (with its
        evaluation against the truth file when one is given)."""
        return self._run.json(_os.fspath(truth) if truth is not None else "")

    def evaluate(self, truth) -> dict:
        """The tool's evaluation against a truth file (pairs, precision,
        recall, f1, offset errors), as in its JSON. ValueError if the file
        cannot be read or is malformed."""
        return _json.loads(self.to_json(truth))["evaluation"]

    def __repr__(self):
        return f"Result(clusters={[[m.name for m in c] for c in self.clusters]})"


def _mentions(note: str, name: str, path: str) -> bool:
    return note.startswith(path + ":") or _re.search(r"(?<![\w.-])" + _re.escape(name) + r"(?![\w.-])", note) is not None


# Keyword names of the designed parameters: the record attributes in any case,
# i.e. also the command-line option names without their dash.
_CLUSTER_OPTIONS = {"minpercentmatch", "minoverlaplength", "mintemplatelength", "maxlandmarks",
                    "accepttreshold"}


def _settings(params):
    extract = VkExtractParams()
    order = []
    for key, value in params.items():
        option = key.lower()
        if option == "acceptthreshold":
            option = "accepttreshold"  # the command line's spelling
        order.append((option, key, value))
    # Rate and hop first: acceptance settings follow them, as on the command line.
    for option, key, value in order:
        if option == "initialthresholdframes":
            extract.initialThresholdFrames = value
        elif option not in _CLUSTER_OPTIONS:
            _set(extract, option, key, value)
    cluster = VkClusterSyncParams(extract)
    for option, key, value in order:
        if option in _CLUSTER_OPTIONS:
            _set(cluster, option, key, value)
    return extract, cluster


_ATTRIBUTES = {name.lower(): name for record in (VkExtractParams, VkClusterSyncParams)
               for name in dir(record) if not name.startswith("_")}
_ATTRIBUTES["accepttreshold"] = "acceptThreshold"


def _set(record, option, key, value):
    attribute = _ATTRIBUTES.get(option)
    if attribute is None or not hasattr(record, attribute):
        raise TypeError(f"sync() got an unexpected keyword argument {key!r}")
    setattr(record, attribute, value)


def _channel(channel):
    if channel == "auto":
        return _velk.AUTO_CHANNEL
    if channel == "mix":
        return _velk.MIX_CHANNELS
    if isinstance(channel, bool) or not isinstance(channel, int) or channel < 0:
        raise ValueError(f"channel must be 'auto', 'mix' or a channel index, not {channel!r}")
    return channel


def sync(inputs, *, threads: Optional[int] = None, refine: bool = True, channel="auto",
         reference=None, progress=None, keep_unverified: bool = False,
         **designed_parameters) -> Result:
    """Cluster recordings of the same event and find their offsets.

    inputs: a folder (its files, not sub-folders, in name order), one file, or a
        list of file paths and velk.Audio objects (ids follow the list's order).
    threads: worker threads (None: one per processor); the result does not depend on it.
    refine: confirm and refine offsets to the sample by waveform correlation;
        False keeps the landmark offsets.
    channel: the channel analysed of recordings with several: "auto" (per
        recording, the one with the most landmarks among those within 30 dB of
        the loudest), "mix" (their mean) or an index from 0 (the last channel
        for recordings with fewer).
    reference: a recording's name, file name or path: its cluster is put on
        its clock (offsets are how much later each member starts, drifts are
        against it); ValueError when it names no input, or several.
    progress: a callable (stage, fraction) with stage "extracting",
        "clustering", "refining" or "second look" and fraction 0..1, never
        decreasing within a stage; called with the GIL held, from the engine's
        threads. An exception it raises stops the run and is raised by sync.
    keep_unverified: members no correlation confirms stay in their cluster.
    designed_parameters: the extraction and clustering settings by their
        record names (fftSize=1024, minOverlapLength=5.0) or option names
        (fftsize=1024); a value the command line refuses raises ValueError with
        its message.

    The GIL is released while the engine works; Ctrl-C stops it between steps
    and raises KeyboardInterrupt. A missing input raises FileNotFoundError; an
    unreadable file is skipped with a note (result.skipped, result.notes).
    Other failures raise velk.Error.
    """
    extract_params, cluster_params = _settings(designed_parameters)
    channel = _channel(channel)
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int) or threads < 1):
        raise ValueError(f"threads must be None or a positive number, not {threads!r}")
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable as progress(stage, fraction)")

    folder = ""
    items = []
    if isinstance(inputs, (str, bytes, _os.PathLike)):
        path = _os.fsdecode(inputs)
        if not _os.path.exists(path):
            raise FileNotFoundError(2, "No such file or folder", path)
        if _os.path.isdir(path):
            folder = path
        else:
            items = [path]
    elif isinstance(inputs, Audio):
        items = [inputs]
    else:
        items = list(inputs)
    converted = []
    for n, item in enumerate(items, start=1):
        if isinstance(item, Audio):
            converted.append(_velk.Input(item.name or f"audio{n}", item._view()))
        elif isinstance(item, (str, bytes, _os.PathLike)):
            path = _os.fsdecode(item)
            if not _os.path.exists(path):
                raise FileNotFoundError(2, "No such file or folder", path)
            converted.append(_velk.Input(path))
        else:
            raise TypeError(f"an input must be a path or a velk.Audio, not {type(item).__name__}")
    if not folder and not converted:
        raise ValueError("nothing to sync: no input was given")

    run = _velk.run(folder, converted, extract_params, cluster_params, threads or 0, channel, bool(refine),
                    bool(keep_unverified), _os.fsdecode(reference) if reference is not None else "",
                    progress)
    return Result(run)


def extract(audio, rate: Optional[int] = None, **designed_parameters) -> _np.ndarray:
    """The landmarks of one recording, as the designed extraction finds them.

    audio: a file path, a velk.Audio, or an array (then rate is its sample rate).
    designed_parameters: extraction settings as for velk.sync.
    Returns a structured array, one row per landmark in frame order, with the
    fields frame (anchor frame), anchor_bin, partner_bin, frame_delta and hash.
    """
    params, _ = _settings(designed_parameters)
    if isinstance(audio, (str, bytes, _os.PathLike)):
        path = _os.fsdecode(audio)
        if not _os.path.exists(path):
            raise FileNotFoundError(2, "No such file", path)
        return _velk.extract(path, None, 0, params)
    if not isinstance(audio, Audio):
        if rate is None:
            raise ValueError("the sample rate of an array is needed: extract(array, rate)")
        audio = Audio(audio, rate)
    return _velk.extract("", audio.array, audio.rate, params)

import os
from typing import Callable, List, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, os.PathLike]

class Error(Exception): ...

class VkExtractParams:
    initialThresholdFrames: int
    freqRange: int
    timeRange: int
    maxPeaksPerFrame: int
    peakDynRange: float
    dbThreshold: float
    decayPerFrame: float
    peakWidth: float
    fftSize: int
    hopSize: int
    sampleRate: int
    maxPairsPerPeak: int
    def __init__(self) -> None: ...

class VkClusterSyncParams:
    minPercentMatch: float
    minOverlapLength: float
    minTemplateLength: float
    maxLandmarks: int
    acceptThreshold: int
    @property
    def framesPerSecond(self) -> float: ...
    @property
    def hopSize(self) -> int: ...
    def __init__(self, extract: VkExtractParams = ...) -> None: ...

class Audio:
    array: npt.NDArray[np.generic]
    rate: int
    name: Optional[str]
    def __init__(self, array: npt.ArrayLike, rate: int, name: Optional[str] = None) -> None: ...

class Member:
    id: int
    name: str
    path: str
    offset: float
    coarse_offset: float
    drift_ppm: Optional[float]
    refined: bool
    confidence: Optional[float]
    duration: float
    notes: List[str]

class Result:
    clusters: List[List[Member]]
    skipped: List[dict]
    notes: List[str]
    def to_json(self, truth: Optional[_Path] = None) -> str: ...
    def evaluate(self, truth: _Path) -> dict: ...

def sync(
    inputs: Union[_Path, Audio, Sequence[Union[_Path, Audio]]],
    *,
    threads: Optional[int] = None,
    refine: bool = True,
    channel: Union[str, int] = "auto",  # "auto", "mix" or an index
    reference: Optional[_Path] = None,
    progress: Optional[Callable[[str, float], object]] = None,
    keep_unverified: bool = False,
    **designed_parameters: Union[int, float],
) -> Result: ...

def extract(
    audio: Union[_Path, Audio, npt.ArrayLike],
    rate: Optional[int] = None,
    **designed_parameters: Union[int, float],
) -> np.ndarray: ...

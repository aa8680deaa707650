"""Depth filters: the chain a live camera runs on every capture, its presets, and why a pixel was removed.

    cam.filters = "default"                  # a preset name (see PRESETS)
    cam.filters = FilterChain(RangeThreshold(max_mm=3000), SpatialFilter())
    cam.filters = None                       # or "off": the decode's output unchanged

The library runs the chain on the capture thread right after the decode, so
the temporal filter sees every capture, also those a slow reader never gets.
The stages always run in this order, whatever order a chain lists them in:
no-depth marking, RangeThreshold, AmplitudeThreshold, FlyingPixelFilter,
SpeckleFilter, MedianFilter, SpatialFilter, TemporalFilter. A chain holds at
most one filter of each kind.

Every depth frame carries `invalid`, a uint8 (height, width) plane: 0 where
the depth is valid, else the `Reason` of the stage that removed the pixel
(its depth is then 0). Units: millimetres (`_mm`), the decode's amplitude
counts, pixels.
"""

import enum
from dataclasses import dataclass, fields
from typing import Any, Dict, Iterator, Optional, Tuple, Union

from . import _native

__all__ = [
    "Reason",
    "RangeThreshold",
    "AmplitudeThreshold",
    "FlyingPixelFilter",
    "SpeckleFilter",
    "MedianFilter",
    "SpatialFilter",
    "TemporalFilter",
    "Filter",
    "FilterChain",
    "PRESETS",
    "resolve",
    "preset_name",
]


class Reason(enum.IntEnum):
    """The codes of Frame.invalid: why a pixel carries no depth."""

    VALID = 0
    NO_DEPTH = 1  # the decode delivered none (no signal at all, or not a number)
    LOW_SIGNAL = 2  # amplitude below AmplitudeThreshold.min_amplitude
    OUT_OF_RANGE = 3  # depth outside RangeThreshold's [min_mm, max_mm]
    FLYING_PIXEL = 4  # between its neighbours across a depth edge, on neither surface
    SPECKLE = 5  # part of a connected region smaller than SpeckleFilter.min_region_pixels
    TEMPORAL = 6  # valid in fewer than persist_valid of the last persist_frames captures


@dataclass(frozen=True)
class Filter:
    """Base of the filter objects: frozen, validated on construction (ValueError, TypeError)."""

    _key = ""  # the library's name of the filter

    def __post_init__(self) -> None:
        for f in fields(self):
            value = getattr(self, f.name)
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"{type(self).__name__}.{f.name} must be a number, got {type(value).__name__}")
            if f.type in (int, "int") and not float(value).is_integer():
                raise TypeError(f"{type(self).__name__}.{f.name} must be a whole number, got {value!r}")
        try:
            _native.check_filters(self.parameters())
        except ValueError as error:
            raise ValueError(f"{type(self).__name__}: {str(error).split(': ', 1)[-1]}") from None

    def parameters(self) -> Dict[str, float]:
        """The library's settings of this filter: {"<filter>.<parameter>": value}."""
        values = {f"{self._key}.enabled": 1.0}
        for f in fields(self):
            values[f"{self._key}.{f.name}"] = float(getattr(self, f.name))
        return values


@dataclass(frozen=True)
class RangeThreshold(Filter):
    """Removes depths outside [min_mm, max_mm] (Reason.OUT_OF_RANGE)."""

    _key = "range"
    min_mm: float = 0.0
    max_mm: float = 10000.0


@dataclass(frozen=True)
class AmplitudeThreshold(Filter):
    """Removes pixels whose amplitude is below min_amplitude counts (Reason.LOW_SIGNAL).

    On the HQVGA device the confidence plane is the amplitude plane.
    """

    _key = "amplitude"
    min_amplitude: float = 0.0


@dataclass(frozen=True)
class FlyingPixelFilter(Filter):
    """Removes mixed pixels at depth edges (Reason.FLYING_PIXEL).

    A pixel is removed when, for an opposite pair of neighbours (horizontal,
    vertical or diagonal, up to `radius` pixels away), its depth lies between
    theirs with a step of more than max(min_step_mm, step_percent % of its
    depth) to each, and the pair sits on flat ground (the steps from each of
    them one pixel further out are at most max(that step, a quarter of the
    pair's jump)). A slope, steep or not, steps alike all along and stays.
    """

    _key = "flying_pixel"
    min_step_mm: float = 50.0
    step_percent: float = 3.0
    radius: int = 1


@dataclass(frozen=True)
class SpeckleFilter(Filter):
    """Removes connected regions of fewer than min_region_pixels pixels (Reason.SPECKLE).

    Pixels belong to one region when they touch horizontally or vertically
    with a depth step of at most max_step_mm.
    """

    _key = "speckle"
    max_step_mm: float = 50.0
    min_region_pixels: int = 20


@dataclass(frozen=True)
class MedianFilter(Filter):
    """Replaces each valid depth by the median of the valid depths of its 3 x 3 window; removes nothing."""

    _key = "median"


@dataclass(frozen=True)
class SpatialFilter(Filter):
    """Edge-preserving smoothing: a recursive domain transform; removes nothing.

    Passes left to right, right to left, top to bottom and bottom to top,
    each s = alpha * x + (1 - alpha) * s between neighbours whose step is
    below threshold_mm (a larger step is an edge and is kept); `iterations`
    times (1 to 5).
    """

    _key = "spatial"
    alpha: float = 0.5
    threshold_mm: float = 20.0
    iterations: int = 2


@dataclass(frozen=True)
class TemporalFilter(Filter):
    """Exponential average over captures, with a reset and a persistence rule (Reason.TEMPORAL).

    s = alpha * x + (1 - alpha) * s per pixel, started afresh where the depth
    moved by more than reset_mm (something moved) or the pixel had no depth in
    the previous capture. A pixel is delivered only when valid in at least
    persist_valid of the last persist_frames captures (1 to 8), the current
    one included. Its state starts afresh at every start and whenever these
    settings change.
    """

    _key = "temporal"
    alpha: float = 0.4
    reset_mm: float = 50.0
    persist_valid: int = 1
    persist_frames: int = 1


class FilterChain:
    """The filters a camera runs, at most one of each kind, in the library's fixed order."""

    __slots__ = ("_filters",)

    def __init__(self, *filters: Filter) -> None:
        kinds: Dict[str, Filter] = {}
        for f in filters:
            if not isinstance(f, Filter) or type(f) is Filter:
                raise TypeError(f"a FilterChain takes filter objects (norvane.filters), got {type(f).__name__}")
            if f._key in kinds:
                raise ValueError(f"a FilterChain holds one {type(f).__name__}, got two")
            kinds[f._key] = f
        self._filters: Tuple[Filter, ...] = tuple(kinds[k] for k in _ORDER if k in kinds)

    @property
    def filters(self) -> Tuple[Filter, ...]:
        """The filters in the order they run."""
        return self._filters

    def __iter__(self) -> Iterator[Filter]:
        return iter(self._filters)

    def __len__(self) -> int:
        return len(self._filters)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, FilterChain) and self._filters == other._filters

    def __hash__(self) -> int:
        return hash(self._filters)

    def __repr__(self) -> str:
        return f"FilterChain({', '.join(repr(f) for f in self._filters)})"

    def parameters(self) -> Dict[str, float]:
        """The library's settings of the whole chain; filters not in it are off."""
        values: Dict[str, float] = {}
        for f in self._filters:
            values.update(f.parameters())
        return values


_ORDER = ("range", "amplitude", "flying_pixel", "speckle", "median", "spatial", "temporal")

# The presets, by name: the one place their values are set.
#   off:     the decode's output unchanged (only `invalid` marks missing depth).
#   default: the kit's measured choice: no signal and mixed pixels removed,
#            still surfaces averaged in time (bench/filters.py meets every
#            accuracy target with these three stages; bench/README.md).
#   smooth:  `default` plus speckle removal and the spatial filter, for
#            moving scenes where the temporal average cannot carry the noise.
#   fast:    the removals of `default` without the smoothing (about the cost
#            of the thresholds alone), for small boards or moving scenes.
PRESETS: Dict[str, FilterChain] = {
    "off": FilterChain(),
    "default": FilterChain(
        AmplitudeThreshold(min_amplitude=20.0),
        FlyingPixelFilter(min_step_mm=50.0, step_percent=3.0, radius=1),
        TemporalFilter(alpha=0.1, reset_mm=100.0, persist_valid=1, persist_frames=1),
    ),
    "smooth": FilterChain(
        AmplitudeThreshold(min_amplitude=20.0),
        FlyingPixelFilter(min_step_mm=50.0, step_percent=3.0, radius=1),
        SpeckleFilter(max_step_mm=100.0, min_region_pixels=20),
        SpatialFilter(alpha=0.5, threshold_mm=20.0, iterations=2),
        TemporalFilter(alpha=0.15, reset_mm=100.0, persist_valid=1, persist_frames=1),
    ),
    "fast": FilterChain(
        AmplitudeThreshold(min_amplitude=20.0),
        FlyingPixelFilter(min_step_mm=50.0, step_percent=3.0, radius=1),
    ),
}

FilterSetting = Union[None, str, FilterChain]


def resolve(value: Any) -> FilterChain:
    """The chain `cam.filters = value` sets: a preset name, a FilterChain, or None (off)."""
    if value is None:
        return PRESETS["off"]
    if isinstance(value, str):
        chain: Optional[FilterChain] = PRESETS.get(value)
        if chain is None:
            raise ValueError(f"unknown filter preset {value!r}; the presets are {', '.join(map(repr, PRESETS))}")
        return chain
    if isinstance(value, FilterChain):
        return value
    raise TypeError(f"filters must be a preset name, a norvane.filters.FilterChain or None, got {type(value).__name__}")


def preset_name(chain: FilterChain) -> Optional[str]:
    """The name of the preset this chain equals, if any."""
    for name, preset in PRESETS.items():
        if preset == chain:
            return name
    return None

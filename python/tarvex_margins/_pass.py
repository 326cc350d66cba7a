"""The estimates of one call laid out for the engine, and the pass that feeds
it one row block after another."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

import numpy as np

from . import _engine
from ._model import LINKS

SLOPE, CONTRAST = 0, 1


@dataclass(frozen=True)
class EstimateSpec:
    term: str
    contrast: str               # "dY/dX" for a slope, "a - b" for a contrast
    kind: int                   # SLOPE or CONTRAST
    columns: tuple              # the design columns it changes


@dataclass(frozen=True)
class Layout:
    """Where each estimate's changed columns sit in a block's `changed` matrix
    (a slope: ∂x/∂v; a contrast: x^a then x^b)."""
    specs: tuple
    kinds: np.ndarray
    first: np.ndarray
    width: np.ndarray
    design_col: np.ndarray

    @property
    def n_changed(self) -> int:
        return int(self.design_col.size)


def layout_of(specs) -> Layout:
    kinds, first, width, design_col = [], [], [], []
    for entry in specs:
        kinds.append(entry.kind)
        first.append(len(design_col))
        width.append(len(entry.columns))
        design_col.extend(entry.columns * (2 if entry.kind == CONTRAST else 1))
    return Layout(tuple(specs), _index(kinds), _index(first), _index(width), _index(design_col))


def _index(values) -> np.ndarray:
    return np.asarray(values, dtype=np.int64)


@dataclass(frozen=True)
class Block:
    design: np.ndarray                  # rows × k
    changed: np.ndarray                 # rows × layout.n_changed
    offset: Optional[np.ndarray] = None
    weights: Optional[np.ndarray] = None


_EMPTY = np.empty(0)


def add_block(link: str, beta: np.ndarray, layout: Layout, block: Block,
              weight: np.ndarray, effect: np.ndarray, gradient: np.ndarray) -> None:
    """Adds one block's W, S and T (margins_pass.hpp) to the accumulators
    weight (1), effect (estimates) and gradient (estimates × k), in place."""
    _engine.accumulate(
        LINKS.index(link), beta, block.design,
        _EMPTY if block.offset is None else block.offset,
        _EMPTY if block.weights is None else block.weights,
        block.changed, layout.design_col, layout.kinds, layout.first, layout.width,
        weight, effect, gradient)

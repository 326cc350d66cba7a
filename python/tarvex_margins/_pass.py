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
    contrast: str               # "dY/dX" (or the method's label) for a slope, "a - b" for a contrast
    kind: int                   # SLOPE or CONTRAST
    columns: tuple              # the design columns it changes
    by_value: bool = False      # m_i times the variable's value in the row (the "ex" forms)
    log_scale: bool = False     # the effect on log P (the "ey" forms)
    count: bool = False         # the centred unit change (F(v + 1) − F(v − 1))/2
    scale: float = 1.0          # the factor applied to S and T at the end (½ for a count)


@dataclass(frozen=True)
class Layout:
    """Where each estimate's changed columns sit in a block's `changed` matrix
    (a slope: ∂x/∂v; a contrast: x^a then x^b)."""
    specs: tuple
    kinds: np.ndarray
    first: np.ndarray
    width: np.ndarray
    design_col: np.ndarray
    factor_col: np.ndarray      # column of the block's row factors, −1 for none
    log_scale: np.ndarray       # 1 for the effect on log P

    @property
    def n_changed(self) -> int:
        return int(self.design_col.size)


def layout_of(specs) -> Layout:
    """Each estimate's changed columns one after the other; the estimates
    that take a row factor number them in order (see factor_terms)."""
    kinds, first, width, design_col, factor_col = [], [], [], [], []
    for entry in specs:
        kinds.append(entry.kind)
        first.append(len(design_col))
        width.append(len(entry.columns))
        design_col.extend(entry.columns * (2 if entry.kind == CONTRAST else 1))
        factor_col.append(sum(e.by_value for e in specs[:len(kinds) - 1]) if entry.by_value else -1)
    return Layout(tuple(specs), _index(kinds), _index(first), _index(width), _index(design_col),
                  _index(factor_col), _index([e.log_scale for e in specs]))


def factor_terms(layout: Layout) -> list:
    """The terms whose values are the row factors, in factor-column order."""
    return [entry.term for entry in layout.specs if entry.by_value]


def _index(values) -> np.ndarray:
    return np.asarray(values, dtype=np.int64)


@dataclass(frozen=True)
class Block:
    design: np.ndarray                  # rows × k
    changed: np.ndarray                 # rows × layout.n_changed
    offset: Optional[np.ndarray] = None
    weights: Optional[np.ndarray] = None
    factors: Optional[np.ndarray] = None   # rows × len(factor_terms(layout))
    groups: Optional[np.ndarray] = None    # int64 group code per row


_EMPTY = np.empty(0)


def add_block(link: str, beta: np.ndarray, layout: Layout, block: Block,
              weight: np.ndarray, effect: np.ndarray, gradient: np.ndarray) -> None:
    """Adds one block's W, S and T (margins_pass.hpp) to the accumulators
    weight (G), effect (G × estimates) and gradient (G × estimates × k), in
    place; row i adds to group block.groups[i] (G = 1 without groups)."""
    n_groups = weight.shape[0]
    if not (effect.flags.c_contiguous and gradient.flags.c_contiguous):
        raise ValueError("the accumulators must be C-contiguous (the engine adds to them in place)")
    _engine.accumulate(
        LINKS.index(link), _aligned(beta), _aligned(block.design),
        _EMPTY if block.offset is None else _aligned(block.offset),
        _EMPTY if block.weights is None else _aligned(block.weights),
        _aligned(block.changed), layout.design_col, layout.kinds, layout.first, layout.width,
        weight, effect.reshape(-1), gradient.reshape(n_groups * len(layout.specs), beta.size),
        factors=_aligned(block.factors), factor_col=layout.factor_col, log_scale=layout.log_scale,
        groups=_aligned(block.groups))


def _aligned(a):
    """`a`, or an aligned copy of it: the engine reads whole elements, and an
    array may lie at any byte offset (a view into a byte buffer, or one
    unpickled from a network frame, as Dask's workers get them)."""
    return a if a is None or a.flags.aligned else a.copy()

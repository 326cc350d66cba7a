"""Partial sums: what a set of rows contributes to the estimates.

Every estimate is a ratio of weighted sums over rows, S/W, and so is its
gradient in β, T/W (see src/engine/margins_pass.hpp). A partial holds W, S and T
per group for the rows it has seen; partials of disjoint row sets add, in any
order and grouping, to the partial of their union (exactly up to the rounding
of the additions), and the table is computed from the total once.
"""
from __future__ import annotations

import itertools
from dataclasses import dataclass

import numpy as np

#: The label of the one group of an ungrouped call.
NO_GROUP: tuple = ()


@dataclass(frozen=True)
class Partial:
    """The weighted sums of a set of rows, per group.

    ``key`` identifies the model and the options the sums were made for
    (partials with different keys cannot be combined); ``groups`` are the
    group labels (tuples, ``((),)`` without groups: an ``at`` point's values,
    then the group's); ``order`` holds one sort key per label (the point's
    position, then per group column a category's position or the value),
    which orders the labels alike in every partial, and ``groups`` are in
    that order; ``weight`` is W per group (G), ``effect`` S (G × estimates),
    ``gradient`` T (G × estimates × parameters); ``n_rows`` the number of
    rows summed; ``weights`` says what weighted them (``"none"`` or the name
    of the weights); ``declared`` holds, per group column, the categories
    its dtype declares (empty for a column that is not categorical), so that
    a category without rows in the total is found (margins_table) though no
    partial has a group for it.
    """
    key: str
    groups: tuple
    weight: np.ndarray
    effect: np.ndarray
    gradient: np.ndarray
    n_rows: int
    weights: str = "none"
    order: tuple = ((),)
    declared: tuple = ()

    def __add__(self, other: "Partial") -> "Partial":
        return combine(self, other)

    def __radd__(self, other) -> "Partial":
        # sum(partials) starts from the integer 0: 0 + p is p.
        if type(other) is int and other == 0:
            return self
        raise TypeError(f"only partials (and 0, where sum() starts) add to a Partial, got "
                        f"{type(other).__name__}")


def combine(a: Partial, b: Partial) -> Partial:
    """The partial of the union of a's and b's rows: the sums of groups with
    the same label added, the other groups kept, in the order of their keys;
    the declared categories of each group column united."""
    if not isinstance(a, Partial) or not isinstance(b, Partial):
        raise TypeError(f"only partials combine, got {type(a).__name__} and {type(b).__name__}")
    if a.key != b.key:
        raise ValueError("these partials were computed for different models or options and "
                         "cannot be combined")
    if a.weights != b.weights:
        raise ValueError(f"these partials are weighted differently ({a.weights!r} and "
                         f"{b.weights!r}) and cannot be combined")
    keys = dict(zip(b.groups, b.order))
    keys.update(zip(a.groups, a.order))
    groups = tuple(sorted(keys, key=keys.__getitem__))
    position = {label: g for g, label in enumerate(groups)}
    weight = np.zeros(len(groups))
    effect = np.zeros((len(groups),) + a.effect.shape[1:])
    gradient = np.zeros((len(groups),) + a.gradient.shape[1:])
    for part in (a, b):
        rows = [position[label] for label in part.groups]
        weight[rows] += part.weight
        effect[rows] += part.effect
        gradient[rows] += part.gradient
    declared = tuple(tuple(dict.fromkeys(x + y))
                     for x, y in itertools.zip_longest(a.declared, b.declared, fillvalue=()))
    return Partial(a.key, groups, weight, effect, gradient, a.n_rows + b.n_rows, a.weights,
                   tuple(keys[label] for label in groups), declared)

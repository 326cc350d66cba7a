"""plot_margins(): the estimates of a margins table with their 95% intervals."""
from __future__ import annotations

import numpy as np
import pandas as pd

from ._table import STATISTICS


def plot_margins(table: pd.DataFrame, *, ncols: int = 3):
    """Draws a ``margins`` table: one panel per variable (term), its contrasts
    and ``at`` points along the horizontal axis, groups (``by``) as colours
    side by side, each estimate a point with its 95% interval
    (``conf_low``…``conf_high``) and a line at zero.

    Needs matplotlib (``pip install tarvex[plot]``). Returns the
    ``matplotlib.figure.Figure``; save it with ``fig.savefig(path)``.
    """
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError("plot_margins needs matplotlib, an optional dependency of tarvex: "
                          "pip install 'tarvex[plot]' (or pip install matplotlib)") from exc
    missing = [c for c in ("term", "contrast", "estimate", "conf_low", "conf_high") if c not in table.columns]
    if missing or len(table) == 0:
        raise ValueError(f"plot_margins needs a non-empty table returned by margins; "
                         f"missing columns {missing}" if missing else "plot_margins: the table is empty")
    labels = [c for c in table.columns if c not in STATISTICS and c != "term"]
    groups = [c for c in labels if c in table.attrs.get("by_names", _group_columns(table))]
    along = [c for c in labels if c not in groups]
    group_keys = _keys(table, groups)
    colours = _colours(list(dict.fromkeys(group_keys)))
    terms = list(dict.fromkeys(table.term))
    ncols = max(1, min(ncols, len(terms)))
    nrows = -(-len(terms) // ncols)
    fig, axes = plt.subplots(nrows, ncols, figsize=(4.2 * ncols, 3.2 * nrows), squeeze=False,
                             layout="constrained")
    width = 0.8 / max(1, len(colours))
    for ax, term in zip(axes.flat, terms):
        rows = table[table.term == term]
        ticks = list(dict.fromkeys(_keys(rows, along)))
        for slot, key in enumerate(colours):
            mine = rows[[k == key for k in _keys(rows, groups)]]
            if mine.empty:
                continue
            x = np.array([ticks.index(k) for k in _keys(mine, along)]) + (slot - (len(colours) - 1) / 2) * width
            est = mine.estimate.to_numpy()
            err = np.vstack([est - mine.conf_low.to_numpy(), mine.conf_high.to_numpy() - est])
            ax.errorbar(x, est, yerr=err, fmt="o", color=colours[key], capsize=3,
                        label=", ".join(map(str, key)) if groups else None)
        ax.axhline(0.0, color="0.6", linewidth=0.8)
        ax.set_xticks(range(len(ticks)))
        ax.set_xticklabels([", ".join(map(str, k)) for k in ticks], rotation=30 if len(ticks) > 3 else 0,
                           ha="right" if len(ticks) > 3 else "center")
        ax.set_title(str(term))
    for ax in list(axes.flat)[len(terms):]:
        ax.set_visible(False)
    if groups:
        handles, names = axes.flat[0].get_legend_handles_labels()
        fig.legend(handles, names, title=", ".join(groups), loc="outside right upper")
    fig.supylabel(f"{table.attrs.get('method', 'dydx')} with 95% interval")
    return fig


def _colours(keys: list) -> dict:
    """A distinct colour per group: matplotlib's default cycle (10 colours)
    while it suffices, then tab20, then evenly spaced hues of a perceptually
    ordered map, so that no two groups share a colour."""
    import matplotlib

    if len(keys) <= 10:
        return {key: f"C{i}" for i, key in enumerate(keys)}
    if len(keys) <= 20:
        palette = matplotlib.colormaps["tab20"].colors
        return {key: palette[i] for i, key in enumerate(keys)}
    cmap = matplotlib.colormaps["turbo"]
    return {key: cmap(x) for key, x in zip(keys, np.linspace(0.0, 1.0, len(keys)))}


def _group_columns(table: pd.DataFrame) -> tuple:
    """Without a record of the groups: the label columns after term, contrast
    and the at= columns are unknown, so every extra label column is a group."""
    return tuple(c for c in table.columns if c not in STATISTICS and c not in ("term", "contrast"))


def _keys(rows: pd.DataFrame, columns: list) -> list:
    return [tuple(r) for r in rows[columns].itertuples(index=False)] if columns else [()] * len(rows)

"""Linear combinations of a margins table's estimates, with delta-method
standard errors from their joint covariance: for a matrix C (combinations ×
estimates), the estimates C·b and their covariance C·V·Cᵀ, V the table's
``attrs["vcov"]`` (J·Σ·Jᵀ, so C·V·Cᵀ = (C·J)·Σ·(C·J)ᵀ)."""
from __future__ import annotations

import itertools
import re

import numpy as np
import pandas as pd

from ._table import STATISTICS, normal_statistics

FORMS = ("pairwise", "levels")
_TERM = re.compile(r"\s*([+-])?\s*(?:(\d+(?:\.\d*)?(?:[eE][+-]?\d+)?)\s*\*\s*)?b(\d+)\s*")


def check_hypothesis(hypothesis) -> None:
    """The form of `hypothesis`, checked before any row is read."""
    if hypothesis is None:
        return
    if isinstance(hypothesis, np.ndarray):
        if not (np.issubdtype(hypothesis.dtype, np.number) and not np.iscomplexobj(hypothesis)) \
                or hypothesis.ndim not in (1, 2) or hypothesis.size == 0:
            raise TypeError("a hypothesis matrix must be a non-empty 1- or 2-dimensional array of "
                            f"real numbers (one column per row of the table); got an array of "
                            f"dtype {hypothesis.dtype} and shape {hypothesis.shape}")
        if not np.isfinite(hypothesis).all():
            raise ValueError("a hypothesis matrix must hold finite numbers; it has "
                             f"{int((~np.isfinite(hypothesis)).sum())} that are NaN or infinite")
        return
    if isinstance(hypothesis, str):
        if hypothesis not in FORMS:
            _parse(hypothesis)
        return
    if isinstance(hypothesis, (list, tuple)) and hypothesis and all(isinstance(h, str) for h in hypothesis):
        for h in hypothesis:
            _parse(h)
        return
    raise TypeError(f"hypothesis must be one of {list(FORMS)}, a string such as 'b2 - b1', a list "
                    f"of such strings, or a matrix with one column per estimate; got {hypothesis!r}")


def compare(table: pd.DataFrame, hypothesis) -> pd.DataFrame:
    """Linear combinations of the estimates of a ``margins`` table.

    Parameters
    ----------
    table : pandas.DataFrame
        A table returned by ``margins`` (it carries the estimates' covariance
        in ``table.attrs["vcov"]``).
    hypothesis : str, list of str, or array
        ``"pairwise"``: the difference of every two rows with the same term
        and contrast (between groups and ``at`` points), later row minus
        earlier. ``"levels"``: the difference of every two contrasts of the
        same term within a group and point (``"c - a"`` minus ``"b - a"`` is
        level c against b). A string ``"b2 - b1"``, ``"b3 - 2*b1 + b2"`` (row
        numbers of the table from 1, numeric coefficients) or a list of them;
        or a matrix with one row per combination and one column per row of
        the table.

    Returns
    -------
    pandas.DataFrame
        ``hypothesis`` (a label), the label columns the combined rows share,
        then ``estimate``, ``std_error``, ``statistic``, ``p_value``,
        ``conf_low``, ``conf_high``; ``attrs["vcov"]`` their covariance.
    """
    check_hypothesis(hypothesis)
    label_columns = [c for c in table.columns if c not in STATISTICS]
    vcov = aligned_vcov(table, label_columns)
    table = table.reset_index(drop=True)
    if isinstance(hypothesis, str) and hypothesis in FORMS:
        C, labels = _pairs(table, label_columns, hypothesis)
    else:
        C, labels = _matrix(hypothesis, len(table))
    estimate = C @ table.estimate.to_numpy()
    V = C @ vcov @ C.T
    out = pd.concat([labels.reset_index(drop=True), pd.DataFrame(normal_statistics(estimate, V))], axis=1)
    index = pd.MultiIndex.from_frame(labels.reset_index(drop=True).astype(object))
    out.attrs["vcov"] = pd.DataFrame(V, index=index, columns=index)
    return out


def aligned_vcov(table: pd.DataFrame, label_columns: list) -> np.ndarray:
    """The covariance of the table's estimates in the order of its rows.

    ``attrs["vcov"]`` is indexed by the rows' labels (the label columns), in
    the order the table was made; pandas carries ``attrs`` through
    ``sort_values`` or ``iloc[::-1]`` unchanged, so the covariance is taken
    by label, not by position. A table whose rows are no longer those the
    covariance describes (rows dropped or repeated, labels edited) is
    refused: its estimates' covariance is not known."""
    vcov = table.attrs.get("vcov")
    if not isinstance(vcov, pd.DataFrame) or vcov.shape[0] != vcov.shape[1]:
        raise ValueError("compare needs a table returned by margins or compare (it carries the "
                         "estimates' covariance in attrs['vcov'])")
    if not label_columns:
        raise ValueError("compare needs the table's label columns (term, contrast, ...) to match "
                         "its rows with their covariance")
    labels = pd.MultiIndex.from_frame(table[label_columns].astype(object))
    known = pd.MultiIndex.from_frame(vcov.index.to_frame(index=False).astype(object))
    if len(labels) == len(known) and labels.equals(known):
        return vcov.to_numpy()          # the rows as made (labels may repeat)
    position = known.get_indexer(labels) if known.is_unique else np.full(len(labels), -1)
    if len(labels) != len(known) or not labels.is_unique or (position < 0).any():
        raise ValueError(
            f"compare: the table's {len(table)} rows are not the {len(known)} estimates its "
            "covariance (attrs['vcov']) describes — rows were dropped, repeated or relabelled; "
            "reorder the rows as you like, but compare the whole table (select estimates with "
            "the hypothesis instead, e.g. 'b2 - b1')")
    return vcov.to_numpy()[np.ix_(position, position)]


def _pairs(table: pd.DataFrame, label_columns: list, form: str):
    """The rows of C for every pair within the sets of rows that agree on the
    kept columns: term and contrast for "pairwise", all but the contrast for
    "levels"; the other columns describe each side of the difference."""
    keep = ["term", "contrast"] if form == "pairwise" else [c for c in label_columns if c != "contrast"]
    vary = [c for c in label_columns if c not in keep]
    rows, labels = [], []
    for _, members in table.groupby(keep, sort=False, dropna=False):
        positions = list(members.index)
        for i, j in itertools.combinations(positions, 2):
            row = np.zeros(len(table))
            row[table.index.get_loc(j)], row[table.index.get_loc(i)] = 1.0, -1.0
            rows.append(row)
            labels.append({"hypothesis": _difference(table.loc[j], table.loc[i], vary),
                           **{c: table.at[i, c] for c in keep}})
    if not rows:
        raise ValueError(f"hypothesis={form!r}: no two rows of the table differ only in "
                         f"{vary or 'nothing'} (add by= or at= groups, or a variable with several levels)")
    return np.array(rows), pd.DataFrame(labels, columns=["hypothesis"] + keep)


def _difference(later: pd.Series, earlier: pd.Series, vary: list) -> str:
    """'later - earlier'; two contrasts against the same reference, 'b - r'
    and 'a - r', give 'b - a'."""
    if vary == ["contrast"]:
        (b, rb), (a, ra) = (str(later.contrast).rsplit(" - ", 1) + [""])[:2], \
            (str(earlier.contrast).rsplit(" - ", 1) + [""])[:2]
        if rb and rb == ra:
            return f"{b} - {a}"
    return f"{_describe(later, vary)} - {_describe(earlier, vary)}"


def _describe(row: pd.Series, columns: list) -> str:
    text = ", ".join(str(row[c]) for c in columns)
    return f"({text})" if len(columns) > 1 or "-" in text else text


def _matrix(hypothesis, n: int):
    if isinstance(hypothesis, np.ndarray):
        C = np.atleast_2d(np.asarray(hypothesis, dtype=float))
        if C.ndim != 2 or C.shape[1] != n:
            raise ValueError(f"the hypothesis matrix must have {n} columns (one per row of the table), "
                             f"got shape {C.shape}")
        return C, pd.DataFrame({"hypothesis": [f"c{r + 1}" for r in range(C.shape[0])]})
    texts = [hypothesis] if isinstance(hypothesis, str) else list(hypothesis)
    C = np.zeros((len(texts), n))
    for r, text in enumerate(texts):
        for coef, row in _parse(text):
            if not 1 <= row <= n:
                raise ValueError(f"hypothesis {text!r}: b{row} is not a row of the table (b1 … b{n})")
            C[r, row - 1] += coef
    return C, pd.DataFrame({"hypothesis": texts})


def _parse(text: str) -> list:
    """'b3 - 2*b1 + b2' → [(1, 3), (−2, 1), (1, 2)]."""
    terms, pos = [], 0
    while pos < len(text):
        match = _TERM.match(text, pos)
        if match is None or match.end() == pos or (terms and match.group(1) is None):
            raise ValueError(f"hypothesis {text!r} is not a sum of terms such as 'b2', '- b1', "
                             "'0.5*b3' (rows of the table numbered from 1)")
        sign = -1.0 if match.group(1) == "-" else 1.0
        coefficient = float(match.group(2) or 1.0)
        if not np.isfinite(coefficient):
            raise ValueError(f"hypothesis {text!r}: the coefficient {match.group(2)} is not a "
                             "finite number")
        terms.append((sign * coefficient, int(match.group(3))))
        pos = match.end()
    if not terms:
        raise ValueError(f"hypothesis {text!r} is empty")
    return terms

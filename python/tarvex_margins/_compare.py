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
    if hypothesis is None or isinstance(hypothesis, np.ndarray):
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
    vcov = table.attrs.get("vcov")
    if vcov is None or vcov.shape != (len(table), len(table)):
        raise ValueError("compare needs a table returned by margins (with attrs['vcov'])")
    label_columns = [c for c in table.columns if c not in STATISTICS]
    if isinstance(hypothesis, str) and hypothesis in FORMS:
        C, labels = _pairs(table, label_columns, hypothesis)
    else:
        C, labels = _matrix(hypothesis, len(table))
    estimate = C @ table.estimate.to_numpy()
    V = C @ vcov.to_numpy() @ C.T
    out = pd.concat([labels.reset_index(drop=True), pd.DataFrame(normal_statistics(estimate, V))], axis=1)
    index = pd.Index(out["hypothesis"])
    out.attrs["vcov"] = pd.DataFrame(V, index=index, columns=index)
    return out


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
        terms.append((sign * float(match.group(2) or 1.0), int(match.group(3))))
        pos = match.end()
    if not terms:
        raise ValueError(f"hypothesis {text!r} is empty")
    return terms

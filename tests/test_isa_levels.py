"""Every instruction-set level the engine dispatches to gives the same table.

The suite otherwise runs only the widest level this CPU has; the environment
variable TARVEX_ISA_LEVEL lowers it, so the narrower kernels (a wrong body or
a missing case in the dispatch would show here) are run on the same designs.
The levels may differ in the last bits (libmvec's variants of exp and erfc
are not the same functions at every width), not more.
"""
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

TABLES = """
import pickle, sys
import numpy as np
import tarvex
from models import duck_results
tables = []
for kind in ("Logit", "Probit"):
    # 4100 rows: tiles of every length up to 2048, and a short last one.
    model = duck_results(kind, 4100, 9, seed=3, binary_cols=(2, 5, 8))
    for se_method in ("rust", "sm"):
        for chunk in (None, 999):
            table = tarvex.mfx(model, chunk_size=chunk, se_method=se_method)
            tables.append(table.iloc[:, :6].to_numpy())
sys.stdout.buffer.write(pickle.dumps(tables))
"""


def tables_at(level):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(__file__))
    env.pop("TARVEX_ISA_LEVEL", None)
    if level is not None:
        env["TARVEX_ISA_LEVEL"] = level
    done = subprocess.run([sys.executable, "-c", TABLES], env=env, capture_output=True,
                          check=True)
    return pickle.loads(done.stdout)


@pytest.mark.parametrize("level", ["avx2", "base"])
def test_narrower_levels_agree_with_the_widest(level):
    widest, narrower = tables_at(None), tables_at(level)
    assert len(narrower) == len(widest) == 8
    for got, expected in zip(narrower, widest):
        np.testing.assert_allclose(got, expected, rtol=1e-13, atol=0)

"""Regenerates the optimiser suite's lme4 references (needs R with lme4, nlme, mlmRev
and jsonlite; the tests themselves need none of it).

    python tests/data/optim/make_reference.py

Writes the simulated designs of ``tests/python/simdesign.py`` to a temporary directory
with every digit, runs ``make_reference.R`` on them and on the real data sets, and
records each simulated design's checksum beside lme4's numbers in ``lme4.json``.
"""

import importlib.util
import json
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
# The designs come from the tests' generator, loaded from its file (tests/ is no package).
_spec = importlib.util.spec_from_file_location("simdesign", HERE.parent.parent / "python" / "simdesign.py")
assert _spec is not None and _spec.loader is not None
simdesign = sys.modules["simdesign"] = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(simdesign)
SUITE = simdesign.SUITE


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        for d in SUITE:
            y, x, z, codes, _ = d.arrays()
            cols = [y[:, None], x, z, codes[:, None].astype(float)]
            header = ",".join(
                ["y"] + [f"x{j}" for j in range(x.shape[1])] + [f"z{j}" for j in range(z.shape[1])] + ["g"]
            )
            np.savetxt(
                Path(tmp) / f"{d.name}.csv", np.hstack(cols), delimiter=",", header=header, comments="", fmt="%.17g"
            )
        subprocess.run(["Rscript", str(HERE / "make_reference.R"), tmp, str(HERE)], check=True)
    path = HERE / "lme4.json"
    ref = json.loads(path.read_text())
    for d in SUITE:
        ref[d.name]["checksum"] = d.checksum()
    path.write_text(json.dumps(ref, indent=1) + "\n")


if __name__ == "__main__":
    main()

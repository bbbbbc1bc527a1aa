"""The installed type stub: type checkers see lawmlNC's signature."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")


@pytest.mark.slow  # a cold mypy run
def test_mypy_reads_the_installed_stub(tmp_path):
    (tmp_path / "uses_morvekin.py").write_text(textwrap.dedent("""
        import numpy as np
        import morvekin

        coeffs = np.zeros((8, 8))
        result: int = morvekin.lawmlNC(coeffs, np.empty_like(coeffs), None, coeffs, 4.0, 1)
        morvekin.lawmlNC([[1.0]], coeffs, coeffs, coeffs, 4.0, 1)
        morvekin.lawmlNC(coeffs, coeffs, coeffs, coeffs, "4", 1)
        morvekin.lawmlNC(coeffs, coeffs, coeffs, coeffs, 4.0)
    """))
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), "uses_morvekin.py"],
        cwd=tmp_path, capture_output=True, text=True,
    )
    errors = [line for line in checked.stdout.splitlines() if ": error:" in line]
    assert [int(line.split(":")[1]) for line in errors] == [7, 8, 9], checked.stdout

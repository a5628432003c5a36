"""The rupture scenario in examples/ runs end to end and conserves the seismic moment."""

import math
import pathlib
import runpy

import pytest

pytest.importorskip("matplotlib")

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "rupture_scenario.py"


def test_rupture_scenario(tmp_path, capsys):
    example = runpy.run_path(str(EXAMPLE), run_name="rupture_scenario")
    figure = tmp_path / "rupture.png"
    summary = example["main"](["--out", str(figure)])
    assert figure.stat().st_size > 10_000
    numbers = [v for k, v in summary.items() if isinstance(v, float)]
    assert numbers and all(math.isfinite(v) for v in numbers)
    assert summary["moment_from_rate"] == pytest.approx(summary["moment"], rel=0.01)
    assert 0 < summary["moment_95_s"] < summary["rupture_duration_s"] + 10
    assert "eikonal_solve" in capsys.readouterr().out

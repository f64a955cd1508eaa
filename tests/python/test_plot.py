"""The plots (optional extra [plot]): each returns a matplotlib figure with one panel
per random effect or traced parameter, and renders to a PNG. Pixels are not compared."""

import io

import numpy as np
import pytest

pytest.importorskip("matplotlib")

from quorvelkit import plot


def png(fig) -> bytes:
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=50)
    return buf.getvalue()


@pytest.mark.parametrize("draw,expected", [
    (lambda fit: plot.caterpillar(fit), 2), (lambda fit: plot.caterpillar(fit, level=0.8, max_groups=5), 2),
    (lambda fit: plot.residuals_fitted(fit), 1), (lambda fit: plot.qq_ranef(fit), 2),
    (lambda fit: plot.qq_ranef(fit, factor="Subject"), 2),
])  # fmt: skip
def test_fit_plots_render(fm1, draw, expected):
    fig = draw(fm1)
    data = png(fig)
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 2000
    assert len(fig.axes) == expected
    # every panel holds something drawn: points, lines or error bars
    assert all(ax.collections or ax.lines for ax in fig.axes)


def test_caterpillar_shows_each_group_with_its_interval(fm1):
    order = fm1.ranef["Subject"]["(Intercept)"].sort_values(kind="stable").index
    labels = plot.caterpillar(fm1, level=0.95).axes[0].get_yticklabels()
    assert [t.get_text() for t in labels] == [str(v) for v in order]
    assert len(plot.caterpillar(fm1, max_groups=5).axes[0].get_yticks()) == 5  # both ends and three between


def test_profile_plot_has_a_panel_per_trace(fm1):
    prof = fm1.profile(which=["sigma", "Days", "sd_Days|Subject"])
    fig = prof.plot()
    assert len(fig.axes) == 3 and len(png(fig)) > 2000
    assert [ax.get_title() for ax in fig.axes] == ["sd_Days|Subject", "sigma", "Days"]
    line = fig.axes[1].lines[0]
    np.testing.assert_allclose(line.get_xdata(), prof.traces["sigma"]["value"])

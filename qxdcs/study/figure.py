"""The figure of a study: heat maps of one metric over the first two axes.

One row of panels per loop: on the left the metric with every other axis at
the file's own value (the nominal plant and tuning), on the right the worst
(largest) value over every other axis, its title naming the scenario of the
worst cell. A study of one axis draws one row of cells; a cell whose
scenario failed (or whose worst case is not known because one failed) is
grey and says "failed".
"""
import math
import textwrap
import numbers
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

FIGURE = "study.png"


class Maps(NamedTuple):
    """One loop's maps: rows follow `y` (the second axis), columns `x`."""
    x: Tuple[Any, ...]
    y: Tuple[Any, ...]
    nominal: np.ndarray
    worst: np.ndarray
    worst_scenario: Optional[int]      # the scenario of the largest worst-case cell
    nominal_found: bool                # some scenario has every other axis at its nominal value


def _value(row: Dict[str, Any], column: str) -> float:
    v = row.get(column)
    if isinstance(v, numbers.Real) and not isinstance(v, bool) and not row.get("error"):
        return float(v)
    return math.nan


def maps(rows: Sequence[Dict[str, Any]], axes: Sequence, nominal: Dict[str, Any],
         column: str) -> Maps:
    """The maps of `column` (``loop.TI101.IAE``) over the first two of `axes`
    (grid.Axis); `nominal` gives each other axis's value in the file (an axis
    missing from it has no nominal value: the nominal map stays NaN)."""
    xa = axes[0]
    ya = axes[1] if len(axes) > 1 else None
    x = tuple(xa.values)
    y = tuple(ya.values) if ya is not None else ("",)
    others = [a for a in axes[2:]]
    nom = np.full((len(y), len(x)), math.nan)
    bad = np.full((len(y), len(x)), math.nan)
    failed = np.zeros((len(y), len(x)), dtype=bool)
    seen = np.zeros((len(y), len(x)), dtype=bool)
    where: Dict[Tuple[int, int], int] = {}
    found = False
    for row in rows:
        j = x.index(row[xa.path])
        i = y.index(row[ya.path]) if ya is not None else 0
        v = _value(row, column)
        if all(a.path in nominal and row[a.path] == nominal[a.path] for a in others):
            nom[i, j] = v
            found = True
        seen[i, j] = True
        if math.isnan(v):
            failed[i, j] = True
        elif math.isnan(bad[i, j]) or v > bad[i, j]:
            bad[i, j] = v
            where[(i, j)] = row["scenario"]
    bad[failed | ~seen] = math.nan
    worst_scenario = None
    if np.isfinite(bad).any() or np.isinf(bad).any():
        flat = np.where(np.isnan(bad), -np.inf, bad)
        i, j = np.unravel_index(int(np.argmax(flat)), flat.shape)
        worst_scenario = where.get((int(i), int(j)))
    return Maps(x, y, nom, bad, worst_scenario, found)


def _label(value) -> str:
    return f"{value:g}" if isinstance(value, float) else str(value)


def _describe(rows_by_scenario, scenario, axes) -> str:
    row = rows_by_scenario[scenario]
    return f"scenario {scenario} (" + ", ".join(
        f"{a.path}={_label(row[a.path])}" for a in axes) + ")"


def plot(rows: List[Dict[str, Any]], axes: Sequence, nominal: Dict[str, Any], loops: Sequence[str],
         metric: str, units: Dict[str, str], path: str) -> None:
    """A PNG of the maps of `metric`, one row per loop (see the module's text)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm, Normalize

    by_scenario = {r["scenario"]: r for r in rows}
    xa = axes[0]
    ya = axes[1] if len(axes) > 1 else None
    others = axes[2:]
    panels = 2 if others else 1
    fig, grid = plt.subplots(len(loops), panels, squeeze=False,
                             figsize=(6.5 * panels, (2.4 if ya is None else 4.4) * len(loops) + 0.6))
    cmap = plt.get_cmap("viridis").with_extremes(bad="lightgray")
    for r, loop in enumerate(loops):
        m = maps(rows, axes, nominal, f"loop.{loop}.{metric}")
        both = np.concatenate([m.nominal.ravel(), m.worst.ravel()])
        finite = both[np.isfinite(both)]
        if len(finite) and finite.min() > 0 and finite.max() > 10 * finite.min():
            norm = LogNorm(finite.min(), finite.max())
        elif len(finite):
            norm = Normalize(finite.min(), finite.max())
        else:
            norm = None
        unit = f" ({units[loop]})" if units.get(loop) else ""
        if others:
            fixed = ", ".join(f"{a.path}={_label(nominal[a.path])}" if a.path in nominal
                              else f"{a.path} not at the file's value" for a in others)
            left = f"nominal: {fixed}"
            right = "worst over " + ", ".join(a.path for a in others)
        else:
            left = right = "every other number as in the file"
        if not m.nominal_found:
            left += " (not in the study)"
        if m.worst_scenario is not None:
            right += "\nthe worst: " + _describe(by_scenario, m.worst_scenario, axes)
        shown = ((m.nominal, left), (m.worst, right)) if others else ((m.worst, right),)
        for c, (data, title) in enumerate(shown):
            ax = grid[r][c]
            im = ax.imshow(data, origin="lower", cmap=cmap, norm=norm, aspect="auto")
            ax.set_xticks(range(len(m.x)), [_label(v) for v in m.x], rotation=45 if len(m.x) > 8
                          else 0)
            ax.set_xlabel(xa.path)
            if ya is not None:
                ax.set_yticks(range(len(m.y)), [_label(v) for v in m.y])
                ax.set_ylabel(ya.path)
            else:
                ax.set_yticks([])
            text = "\n".join(textwrap.fill(part, 72) for part in title.split("\n"))
            ax.set_title(f"{loop} {metric}{unit}\n{text}", fontsize=8)
            if data.size <= 400:
                for i in range(data.shape[0]):
                    for j in range(data.shape[1]):
                        v = data[i, j]
                        text = ("failed" if math.isnan(v) else
                                "inf" if math.isinf(v) else f"{v:.3g}")
                        light = math.isnan(v) or (norm is not None and math.isfinite(v)
                                                  and norm(v) > 0.6)
                        ax.text(j, i, text, ha="center", va="center", fontsize=7,
                                color="k" if light else "w")
            if data is m.worst and m.worst_scenario is not None:
                row = by_scenario[m.worst_scenario]
                j = m.x.index(row[xa.path])
                i = m.y.index(row[ya.path]) if ya is not None else 0
                ax.add_patch(plt.Rectangle((j - 0.5, i - 0.5), 1, 1, fill=False,
                                           edgecolor="red", linewidth=2))
            if norm is not None:
                fig.colorbar(im, ax=ax)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)

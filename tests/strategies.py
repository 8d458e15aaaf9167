"""Small strategy files for the tests of qxdcs.strategy."""
import textwrap

from qxdcs import strategy

# A first-order plant with two CVs and two MVs (positive gains), one loop.
MINIMAL = """
[simulation]
sample_period_s = 1
samples = 200
seed = 3

[plant]
initial = { T = 20.0, L = 1.0, V = 50.0, F = 10.0 }
[plant.model.T]
V = { mode = "tf_s", num_s = [0.5], den_s = [10, 1], iodelay_s = 2 }
F = { mode = "tf_s", num_s = [0.2], den_s = [5, 1] }
[plant.model.L]
F = { mode = "tf_s", num_s = [1.0], den_s = [8, 1] }

[loop.TC]
cv = "T"
mv = "V"
KP = 2.0
TI = 10.0
sp = [[20, 21.0]]

[signal.F]
kind = "steps"
initial = 10.0
at = [[100, 12.0]]
"""


def text(extra: str = "", base: str = MINIMAL) -> str:
    return textwrap.dedent(base) + textwrap.dedent(extra)


def write(tmp_path, body: str, name: str = "s.toml") -> str:
    path = tmp_path / name
    path.write_text(body, encoding="utf-8")
    return str(path)


def load_text(tmp_path, body: str, name: str = "s.toml"):
    return strategy.load(write(tmp_path, body, name))


def problems(tmp_path, body: str):
    """[(key, message, severity)] of a strategy text."""
    try:
        sf = load_text(tmp_path, body)
    except strategy.StrategyError as exc:
        return [(p.key, p.message, p.severity) for p in exc.problems]
    return [(p.key, p.message, p.severity) for p in strategy.check(sf).problems]


def errors(tmp_path, body: str):
    return [(k, m) for k, m, s in problems(tmp_path, body) if s == strategy.ERROR]


def warnings(tmp_path, body: str):
    return [(k, m) for k, m, s in problems(tmp_path, body) if s == strategy.WARNING]

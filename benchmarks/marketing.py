"""The marketing spend pipeline: corvane against the same pandas steps by hand.

A pandas pipeline of six small steps over a spend and a signups column (a
rolling average, spend per signup, and spend scaled to zero mean and unit
variance), written as a user writes it with plain functions made nodes by
corvane.node where the graph is wired, a join and run inputs, and once
more as one hand-written function doing the same pandas calls. Both
produce the same DataFrame of five columns from the same inputs.

rows() gives two rows for the benchmark table:

- time of one run, corvane against the hand-written function (best of
  several, in alternation, in this process);
- non-blank lines of code, corvane's version against Apache Hamilton's
  version of the same pipeline (the Hamilton text is kept below; Hamilton
  itself is not needed).

Usage: python benchmarks/marketing.py
"""

import pathlib

import numpy as np
import pandas as pd

from alternation import best_of_both
from corvane import Graph, node

# The corvane version: these two imports, then everything up to "counted: end".
CORVANE_IMPORTS = "import pandas as pd\nfrom corvane import Graph, node\n"


# counted: begin
def avg_3wk_spend(spend: pd.Series) -> pd.Series:
    return spend.rolling(3).mean()


def spend_per_signup(spend: pd.Series, signups: pd.Series) -> pd.Series:
    return spend / signups


def spend_mean(spend: pd.Series) -> float:
    return spend.mean()


def spend_zero_mean(spend: pd.Series, spend_mean: float) -> pd.Series:
    return spend - spend_mean


def spend_std_dev(spend: pd.Series) -> float:
    return spend.std()


def spend_zero_mean_unit_variance(spend_zero_mean: pd.Series, spend_std_dev: float) -> pd.Series:
    return spend_zero_mean / spend_std_dev


graph = Graph().add(node(spend_mean)).add(node(spend_zero_mean)).add(node(spend_std_dev))
graph.branch(Graph().add(node(avg_3wk_spend)).add(node(spend_per_signup)))
dag = graph.join(node(spend_zero_mean_unit_variance)).build()
OUTPUTS = ["spend", "signups", "avg_3wk_spend", "spend_per_signup", "spend_zero_mean_unit_variance"]


def with_corvane(inputs: dict[str, pd.Series]) -> pd.DataFrame:
    return pd.DataFrame(dag.execute(inputs=inputs, targets=OUTPUTS))


# counted: end


HAMILTON = """
# my_functions.py
import pandas as pd


def avg_3wk_spend(spend: pd.Series) -> pd.Series:
    return spend.rolling(3).mean()


def spend_per_signup(spend: pd.Series, signups: pd.Series) -> pd.Series:
    return spend / signups


def spend_mean(spend: pd.Series) -> float:
    return spend.mean()


def spend_zero_mean(spend: pd.Series, spend_mean: float) -> pd.Series:
    return spend - spend_mean


def spend_std_dev(spend: pd.Series) -> float:
    return spend.std()


def spend_zero_mean_unit_variance(spend_zero_mean: pd.Series, spend_std_dev: float) -> pd.Series:
    return spend_zero_mean / spend_std_dev


# run.py
import pandas as pd
from hamilton import driver

import my_functions

dr = driver.Builder().with_modules(my_functions).build()
OUTPUTS = ["spend", "signups", "avg_3wk_spend", "spend_per_signup", "spend_zero_mean_unit_variance"]


def with_hamilton(inputs: dict[str, pd.Series]) -> pd.DataFrame:
    return dr.execute(OUTPUTS, inputs=inputs)
"""


def by_hand(inputs: dict[str, pd.Series]) -> pd.DataFrame:
    spend, signups = inputs["spend"], inputs["signups"]
    spend_zero_mean = spend - spend.mean()
    return pd.DataFrame(
        {
            "spend": spend,
            "signups": signups,
            "avg_3wk_spend": spend.rolling(3).mean(),
            "spend_per_signup": spend / signups,
            "spend_zero_mean_unit_variance": spend_zero_mean / spend.std(),
        }
    )


def code_lines(text: str) -> int:
    """Lines that are neither blank nor only a comment."""
    return sum(
        1 for line in text.splitlines() if line.strip() and not line.lstrip().startswith("#")
    )


def corvane_text() -> str:
    source = pathlib.Path(__file__).read_text(encoding="utf-8")
    return CORVANE_IMPORTS + source.split("# counted: begin\n")[1].split("# counted: end\n")[0]


def sample_inputs(length: int) -> dict[str, pd.Series]:
    generator = np.random.default_rng(7)
    return {
        "spend": pd.Series(generator.uniform(10, 50, length)),
        "signups": pd.Series(generator.integers(1, 400, length).astype(float)),
    }


def rows(length: int = 1_000, repeats: int = 300) -> list[tuple[str, float, float, str]]:
    """(workload, corvane, other, what the other is): one run's best time in
    seconds on `length` rows, then the non-blank lines of code."""
    inputs = sample_inputs(length)
    pd.testing.assert_frame_equal(with_corvane(inputs), by_hand(inputs))
    ours, theirs = best_of_both(repeats, lambda: with_corvane(inputs), lambda: by_hand(inputs))
    return [
        (f"marketing pipeline, {length:,} rows, one run", ours, theirs, "hand-written pandas"),
        (
            "marketing pipeline, lines of code",
            code_lines(corvane_text()),
            code_lines(HAMILTON),
            "Apache Hamilton",
        ),
    ]


if __name__ == "__main__":
    for name, ours, theirs, other in rows():
        print(f"{name:<45} {ours:>12.6g} {theirs:>12.6g} {ours / theirs:>6.2f}  {other}")

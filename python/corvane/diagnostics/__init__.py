"""Seeing into runs: detailed results, run callbacks and a progress bar."""

from corvane.diagnostics.callback import Callback as Callback
from corvane.diagnostics.progress import ProgressBar as ProgressBar
from corvane.diagnostics.run_result import RunResult as RunResult

__all__ = ["Callback", "ProgressBar", "RunResult"]

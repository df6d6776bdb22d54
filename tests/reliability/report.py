"""Figures the reliability tests gather for the end-of-run summary (see conftest)."""

FIGURES = {}


def record_max(name, value):
    FIGURES[name] = max(FIGURES.get(name, value), value)

import pytest

from reliability import report
from reliability.worker import Worker


@pytest.fixture(scope="session")
def worker():
    """The child process that runs the fuzz cases (restarted after each crash)."""
    w = Worker()
    yield w
    report.FIGURES["fuzz cases run in child processes"] = w.cases
    w.close()


def pytest_terminal_summary(terminalreporter):
    if report.FIGURES:
        terminalreporter.section("reliability figures")
        for name, value in report.FIGURES.items():
            terminalreporter.write_line(f"{name}: {value}")

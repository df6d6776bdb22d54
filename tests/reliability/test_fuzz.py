"""Malformed, extreme and hostile inputs, each run in a child process: the only
acceptable outcomes are a result or an exception with a message.

VARNEX_FUZZ_EXAMPLES sets the number of cases per strategy (default 100, drawn the same
way on every run); with more than the default the draws are random, for long runs:
    VARNEX_FUZZ_EXAMPLES=5000 .venv/bin/pytest tests/reliability/test_fuzz.py
"""

import importlib
import os
import signal
import time

import pytest
from hypothesis import HealthCheck, given, settings

from reliability import linka_cases
from reliability.calls import CRASHED, FUNCTIONS, HUNG, RAISED, RETURNED, materialise
from reliability.targets import EXPECTED_SYSTEM_ERRORS, FUZZ
from reliability.worker import Worker

DEFAULT_EXAMPLES = 100
EXAMPLES = int(os.environ.get("VARNEX_FUZZ_EXAMPLES", DEFAULT_EXAMPLES))
FUZZ_SETTINGS = settings(
    max_examples=EXAMPLES, deadline=None, derandomize=EXAMPLES <= DEFAULT_EXAMPLES, database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much,
                           HealthCheck.large_base_example])


def check_acceptable(outcome, call):
    kind = outcome[0]
    if kind == RETURNED:
        return
    if kind == RAISED:
        _, error, message = outcome
        assert message.strip(), f"{error} without a message from {call!r}"
        assert error != "SystemError" or message in EXPECTED_SYSTEM_ERRORS, \
            f"internal fault: SystemError {message!r} from {call!r}"
        return
    pytest.fail(f"{kind}: {outcome[1]}\nfrom {call!r}", pytrace=False)


@pytest.mark.parametrize("name", sorted(FUZZ))
def test_no_input_crashes_or_raises_without_a_message(worker, name):
    function = name.split()[0]
    # The child reports an ImportError like any other error: a module that fails to
    # import fails here instead.
    importlib.import_module(FUNCTIONS[function])

    @FUZZ_SETTINGS
    @given(call=FUZZ[name])
    def check(call):
        assert call.function == function
        check_acceptable(worker.run(call), call)

    check()


# The harness itself: a crash or a hang in the child is a reported outcome.

class SelfDestruct:
    function = "densa_main"

    def __init__(self, how):
        self.how = how

    def run(self):
        if self.how == "killed":
            os.kill(os.getpid(), signal.SIGKILL)  # not SIGSEGV, which a sanitizer would report
        time.sleep(60)


@pytest.mark.parametrize("how, outcome", [("killed", CRASHED), ("hang", HUNG)])
def test_worker_reports_crashes_and_recovers(how, outcome):
    worker = Worker(timeout=5)
    try:
        result = worker.run(SelfDestruct(how))
        assert result[0] == outcome
        assert "signal 9" in result[1] if how == "killed" else "no answer" in result[1]
        from reliability.densa_cases import ERRORS
        call, _ = ERRORS["densa_main no arguments"]
        assert worker.run(call)[:2] == (RAISED, "TypeError")  # a fresh child took over
    finally:
        worker.close()


PREPARED = {**FUZZ, **linka_cases.FUZZ}  # the graph family's tables, ready before its modules


@pytest.mark.parametrize("name", sorted(PREPARED))
def test_strategies_draw_calls_a_child_can_rebuild(name):
    @settings(max_examples=20, deadline=None, database=None, derandomize=True,
              suppress_health_check=list(HealthCheck))
    @given(call=PREPARED[name])
    def check(call):
        assert call.function == name.split()[0]
        materialise(call)

    check()

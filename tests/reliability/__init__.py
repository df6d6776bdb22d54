"""Reliability checks of the native functions: fuzzing in child processes, leaks and threads.

Every check is driven by the case tables of the per-family modules (`densa_cases`, ...),
collected in `targets`; adding a function means adding its table there.
"""

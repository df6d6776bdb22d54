"""Every family's case tables, merged; the reliability tests parametrise over these.

To cover a new function: give its family module SUCCESS, ERRORS, THREADS and FUZZ tables
(see densa_cases), add its module to FUNCTIONS in calls.py, and list the family here.
A module that fails to import fails its cases.
"""

from reliability import arrays_cases, densa_cases, centres_cases, linka_cases, stream_cases

FAMILIES = [densa_cases, arrays_cases, centres_cases, linka_cases, stream_cases]

SUCCESS = {name: call for family in FAMILIES for name, call in family.SUCCESS.items()}
ERRORS = {name: case for family in FAMILIES for name, case in family.ERRORS.items()}
THREADS = [call for family in FAMILIES for call in family.THREADS]
FUZZ = {name: strategy for family in FAMILIES for name, strategy in family.FUZZ.items()}

# SystemError is how an internal fault shows (an error return with no exception set, a
# C++ exception turned into "internal error"); only these messages are the functions' own.
EXPECTED_SYSTEM_ERRORS = {"NO PROGRESS :)"}

"""`python -m quorvex doctor` lives in `quorvex.commands.doctor` with the
other commands; this name keeps earlier imports working."""
from .commands.doctor import (BOARD_KINDS, SETUP, VENDOR_LIBRARIES, Probes, Report,  # noqa: F401
                              add_arguments, diagnose, run)

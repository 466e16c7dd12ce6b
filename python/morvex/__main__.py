"""`python -m morvex` and the `morvex` console script.

Both hand the process's arguments to `cli_main` and let the interpreter turn
the outcome into the process status, through the very code path that
`python script.py` takes: a returned code goes through `sys.exit`; a
`SystemExit` raised by the traced program (None gives 0, an int gives that
code, anything else is printed to stderr and gives 1), a KeyboardInterrupt
or any other exception reaches the top level unchanged, after the trace has
been finished. morvex's own errors (a trace file that can't be opened or
finished, a file that is no trace) are one line on stderr and status 1.
"""

import os
import sys

from morvex._core import cli_main


def main() -> int:
    """The console script's entry point; it calls `sys.exit(main())`."""
    return cli_main(sys.argv, _errors_as_lines=True)


if __name__ == "__main__":
    # Under -m, argv[0] is this file's path; help should show the command
    # that was typed instead, as argparse does.
    sys.exit(cli_main([f"{os.path.basename(sys.executable)} -m morvex", *sys.argv[1:]],
                      _errors_as_lines=True))

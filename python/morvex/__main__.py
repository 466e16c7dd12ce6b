"""`python -m morvex` and the `morvex` console script."""

import sys

from morvex._core import cli_main


def main() -> int:
    return cli_main(sys.argv)


if __name__ == "__main__":
    sys.exit(main())

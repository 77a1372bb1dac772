"""`python -m csv_mendle`: the command line of `csv_mendle.cli`."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())

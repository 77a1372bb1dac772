"""`python -m csv_mendle`: the command line of `csv_mendle.cli`."""

import sys

from .cli import main

# Worker processes of a batch repair import this module again under another
# name; only the process that was started as a program runs the command.
if __name__ == "__main__":
    sys.exit(main())

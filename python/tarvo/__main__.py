"""Lets ``python -m tarvo`` run the command line."""

import sys

from .cli import main

# The guard matters: Dask's spawned worker processes import this module again.
if __name__ == "__main__":
    sys.exit(main())

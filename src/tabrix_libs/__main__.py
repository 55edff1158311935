"""`python -m tabrix_libs`: the same command as the `tabrix-libs` console script."""

import sys

from tabrix_libs.cli import main

if __name__ == "__main__":
    sys.exit(main())

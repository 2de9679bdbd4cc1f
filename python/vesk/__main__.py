"""`python -m vesk`: the same command line as the `vesk` console script."""

import sys

from vesk.cli import main

sys.exit(main())

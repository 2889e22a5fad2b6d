"""``python -m terrak``: the terrak command line."""

import sys

from terrak.cli import main

sys.exit(main())

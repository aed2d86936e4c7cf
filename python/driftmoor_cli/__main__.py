"""`python -m driftmoor_cli` runs the `driftmoor` command without installing it."""

import sys

from driftmoor_cli import main

sys.exit(main())

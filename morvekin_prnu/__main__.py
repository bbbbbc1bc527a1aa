"""``python -m morvekin_prnu``: the ``morvekin`` command."""

import sys

from .command import main

sys.exit(main())

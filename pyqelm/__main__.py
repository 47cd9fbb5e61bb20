"""``python3 -m pyqelm``: the command line (see ``pyqelm.cli``)."""
import sys

from pyqelm.cli import main

sys.exit(main())

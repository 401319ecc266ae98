"""`python3 -m voxtrel.bridge`: the same as the voxtrel-bridge command."""

import sys

from .server import main

if __name__ == "__main__":
    sys.exit(main())

"""python -m io_rs: the io-rs command."""

import sys

from ._command import main

if __name__ == "__main__":
    sys.exit(main())

"""`python3 -m voxtrel`: the control's version and the libvoxtrel file the package loads."""

import sys

from . import library_path, version


def main() -> int:
    try:
        print(f"voxtrel {version()}")
        print(f"library {library_path()}")
    except OSError as error:
        print(f"voxtrel: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Demo of the core modules on the framework stand-ins."""
import sys

from belvane.demo import backtest, live, stats, toolkit, toolkit_io


def main():
    parts = [toolkit, toolkit_io, stats, backtest, live]
    for i, part in enumerate(parts):
        if i:
            print()
        part.run()
    return 0


if __name__ == '__main__':
    sys.exit(main())

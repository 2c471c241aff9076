"""``python -m askweave``: the command line (see :mod:`askweave.cli`)."""
from askweave.cli import run

if __name__ == "__main__":
    run()

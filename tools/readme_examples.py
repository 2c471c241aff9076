"""The README's Python examples as files, for the type checker.

    python tools/readme_examples.py OUT_DIR

writes every ```python block of README.md to OUT_DIR/readme_<n>.py (n counts
from 1 in README order) and prints the paths. A block whose first line is
``# examples/NAME.py`` is the copy of that file; tests/test_examples.py keeps
the two equal.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
MARKER = re.compile(r"# (examples/[\w./-]+\.py)\n")


def python_blocks(readme: pathlib.Path = ROOT / "README.md") -> list[str]:
    return re.findall(r"```python\n(.*?)```", readme.read_text(encoding="utf-8"), flags=re.S)


def example_path(block: str) -> pathlib.Path | None:
    """The examples/ file a block says it copies, or None."""
    m = MARKER.match(block)
    return ROOT / m.group(1) if m else None


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    out = pathlib.Path(argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for n, block in enumerate(python_blocks(), 1):
        path = out / f"readme_{n}.py"
        path.write_text(block, encoding="utf-8")
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

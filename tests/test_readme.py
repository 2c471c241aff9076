"""The README's examples run as written and do what they say."""
import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def python_blocks():
    return re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.S)


def test_readme_examples_run(capsys):
    blocks = python_blocks()
    assert len(blocks) >= 2
    for block in blocks:
        namespace = {"__name__": "readme"}
        exec(compile(block, str(README), "exec"), namespace)
    out = capsys.readouterr().out
    assert "fresh_question -> modify_previous_query" in out
    assert "Show sum revenue by category" in out
    follow_up, selection = namespace["follow_up"], namespace["selection"]
    assert follow_up.base_turn_id == 1 and "sales_orders" in follow_up.required_tables
    assert selection.selected_metadata["tables"][0]["table_name"] == "sales_orders"
    assert len(namespace["cards"]) == 2

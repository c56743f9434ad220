"""Every Python example of the README runs, and shows what it prints.

Blocks written as interactive sessions (`>>>`) run as doctests, so their shown
output is checked; other blocks are executed as scripts in a scratch directory.
"""
import doctest
import importlib.util
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def python_blocks():
    text = README.read_text()
    for match in BLOCK.finditer(text):
        line = text.count("\n", 0, match.start(1)) + 1
        yield pytest.param(match.group(1), line, id=f"README.md:{line}")


BLOCKS = list(python_blocks())


def test_readme_has_examples():
    assert len(BLOCKS) >= 5


@pytest.mark.parametrize("source, line", BLOCKS)
def test_readme_example(source, line, tmp_path, monkeypatch):
    imported = set(re.findall(r"^\s*(?:>>> )?(?:import|from) (\w+)", source, re.M))
    for name in sorted(imported):
        if importlib.util.find_spec(name) is None:
            pytest.skip(f"{name} is not installed in this environment")
    monkeypatch.chdir(tmp_path)
    if ">>> " in source:
        test = doctest.DocTestParser().get_doctest(source, {}, f"README.md:{line}",
                                                   str(README), line - 1)
        report = []
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        result = runner.run(test, out=report.append)
        assert result.attempted > 0
        assert result.failed == 0, "".join(report)
    else:
        exec(compile(source, f"README.md:{line}", "exec"), {"__name__": "__readme__"})

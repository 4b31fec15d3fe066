"""The scoring options' table against the texts written by hand from it: the stub and the README."""

import ast
import re
from pathlib import Path

import _tarvo_rs

ROOT = Path(__file__).resolve().parent.parent
OPTIONS = [(name, default) for name, default, _, _ in _tarvo_rs.score_options]


def test_stub_signatures_end_with_the_options():
    stub = ast.parse((ROOT / "tarvo-py" / "_tarvo_rs.pyi").read_text())
    functions = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
    for name, own in (("score", []), ("score_pairs", [("all_models", False)]),
                      ("score_one_vs_many", [("all_models", False)])):
        arguments = functions[name].args
        tail = arguments.args[-len(arguments.defaults):]
        written = [(arg.arg, ast.literal_eval(default)) for arg, default in zip(tail, arguments.defaults)]
        assert written == OPTIONS + own, name


def test_readme_names_every_option_and_flag():
    readme = (ROOT / "README.md").read_text()
    listed = re.search(r"Options of `score`, `score_pairs`, `score_one_vs_many` and "
                       r"`iter_score_one_vs_many`: (.*?)\s\(", readme, re.S)
    assert re.findall(r"`(\w+)`", listed.group(1)) == [name for name, _ in OPTIONS]
    usage = readme[readme.index("tarvo MODEL NATIVE ["):readme.index("tarvo rank NATIVE MODELS...")]
    for name, _, placeholder, _ in _tarvo_rs.score_options:
        flag = "--" + name.replace("_", "-")
        assert (f"[{flag} {placeholder}]" if placeholder else f"[{flag}]") in usage, flag

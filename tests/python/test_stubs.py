"""The type stub of the native module matches the module, ships with the
package, and type-checks the package, the tests and the examples."""

import ast
import importlib.util
import inspect
import os
import pathlib
import subprocess
import sys

import pytest

import csv_mendle
from csv_mendle import _csv_mendle
from csv_mendle import _csv_mendle_backend as backend

PACKAGE_DIR = pathlib.Path(csv_mendle.__file__).parent
REPO = pathlib.Path(__file__).resolve().parents[2]
STUB = ast.parse((PACKAGE_DIR / "_csv_mendle_backend.pyi").read_text(encoding="utf-8"))
# Names a class gets from the interpreter, not from the module's type definition.
INTERPRETER_CLASS_ATTRIBUTES = {"__doc__", "__module__"}


def stub_definitions(body: list[ast.stmt]) -> dict[str, ast.stmt]:
    definitions: dict[str, ast.stmt] = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            definitions[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            definitions[node.target.id] = node
        elif isinstance(node, ast.Assign):
            definitions.update((target.id, node) for target in node.targets if isinstance(target, ast.Name))
    return definitions


STUB_NAMES = stub_definitions(STUB.body)


def stub_parameters(function: ast.FunctionDef) -> list[tuple[str, inspect._ParameterKind, object]]:
    """(name, kind, default) of each parameter, without self or cls."""
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    defaults: list[object] = [inspect.Parameter.empty] * (len(positional) - len(arguments.defaults))
    defaults += [ast.literal_eval(default) for default in arguments.defaults]
    kinds: list[inspect._ParameterKind] = [inspect.Parameter.POSITIONAL_ONLY] * len(arguments.posonlyargs)
    kinds += [inspect.Parameter.POSITIONAL_OR_KEYWORD] * len(arguments.args)
    parameters = [(arg.arg, kind, default) for arg, kind, default in zip(positional, kinds, defaults)]
    assert arguments.vararg is None and arguments.kwarg is None and not arguments.kwonlyargs
    if parameters and parameters[0][0] in ("self", "cls"):
        parameters = parameters[1:]
    return parameters


def runtime_parameters(signature: inspect.Signature) -> list[tuple[str, inspect._ParameterKind, object]]:
    parameters = [(p.name, p.kind, p.default) for p in signature.parameters.values()]
    # A method's text signature marks its $self positional-only; the stub names it plainly.
    if parameters and parameters[0][0] == "self":
        parameters = parameters[1:]
    return parameters


def decorator_names(node: ast.FunctionDef | ast.ClassDef) -> set[str]:
    return {d.id for d in node.decorator_list if isinstance(d, ast.Name)}


def test_public_names_are_exactly_the_module_ones():
    public = {name for name in STUB_NAMES if not name.startswith("_")}
    assert public == set(backend.__all__)
    assert "__version__" in STUB_NAMES
    all_node = STUB_NAMES["__all__"]
    assert isinstance(all_node, ast.Assign)
    assert ast.literal_eval(all_node.value) == backend.__all__
    assert ast.get_docstring(STUB) == backend.__doc__


@pytest.mark.parametrize("name", ["mendle_file", "sniff", "open"])
def test_function_signatures_match(name):
    node = STUB_NAMES[name]
    assert isinstance(node, ast.FunctionDef)
    assert stub_parameters(node) == runtime_parameters(inspect.signature(getattr(backend, name)))


@pytest.mark.parametrize("name", ["MendleSummary", "MendleReader"])
def test_class_members_match(name):
    node = STUB_NAMES[name]
    assert isinstance(node, ast.ClassDef)
    cls = getattr(backend, name)
    assert ast.get_docstring(node) == cls.__doc__
    # Neither class can be subclassed, which the stub says with @final.
    assert ("final" in decorator_names(node)) == (not cls.__flags__ & (1 << 10))

    members = {m.name: m for m in node.body if isinstance(m, ast.FunctionDef)}
    assert set(members) == set(vars(cls)) - INTERPRETER_CLASS_ATTRIBUTES
    for member_name, member in members.items():
        runtime = vars(cls)[member_name]
        is_property = "property" in decorator_names(member)
        assert is_property == inspect.isgetsetdescriptor(runtime), member_name
        if is_property or getattr(runtime, "__text_signature__", None) is None:
            continue
        if member_name == "__new__":
            signature = inspect.signature(cls)  # the class's own text signature
        elif runtime.__text_signature__ == "($self, /)":
            continue  # a slot wrapper: its arity comes from the slot, not from a signature line
        else:
            signature = inspect.signature(runtime)
        assert stub_parameters(member) == runtime_parameters(signature), member_name


def test_typing_marker_and_stub_ship_with_the_package():
    assert (PACKAGE_DIR / "py.typed").is_file()
    assert (PACKAGE_DIR / "_csv_mendle_backend.pyi").is_file()


def test_the_package_modules_stub_matches_it():
    stub = ast.parse((PACKAGE_DIR / "_csv_mendle.pyi").read_text(encoding="utf-8"))
    names = stub_definitions(stub.body)
    assert {name for name in names if not name.startswith("_")} == set(_csv_mendle.__all__)
    all_node = names["__all__"]
    assert isinstance(all_node, ast.Assign)
    assert ast.literal_eval(all_node.value) == _csv_mendle.__all__
    assert ast.get_docstring(stub) == _csv_mendle.__doc__
    for name in ("repair", "read", "sniff_dialect"):
        node = names[name]
        assert isinstance(node, ast.FunctionDef)
        assert stub_parameters(node) == runtime_parameters(inspect.signature(getattr(_csv_mendle, name))), name
    rows = names["RepairedRows"]
    assert isinstance(rows, ast.ClassDef)
    assert ast.get_docstring(rows) == _csv_mendle.RepairedRows.__doc__
    members = {m.name for m in rows.body if isinstance(m, ast.FunctionDef)}
    assert members == set(vars(_csv_mendle.RepairedRows)) - INTERPRETER_CLASS_ATTRIBUTES


needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def run_mypy(*arguments: str) -> subprocess.CompletedProcess[str]:
    # The project's configuration and cache (a first run fills the cache in
    # about ten seconds; later runs take one).  Type checking loads nothing of
    # ours, so a sanitizer runtime preloaded for the extension is left out.
    environment = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(REPO / "pyproject.toml"), *arguments],
        cwd=REPO, env=environment, capture_output=True, text=True, timeout=600,
    )


@needs_mypy
def test_package_tests_and_examples_type_check():
    result = run_mypy()
    assert result.returncode == 0, result.stdout + result.stderr


# Each line of a program type-checked against the stub, with what mypy must
# say about it (a revealed type, or an error).
USES_OF_THE_STUB = [
    ("import csv_mendle", None),
    ("with csv_mendle.open('x.csv', delimiter=None, expected_columns=3) as reader:", None),
    ("    reveal_type(reader)", 'Revealed type is "csv_mendle._csv_mendle_backend.MendleReader"'),
    ("    for row in reader:", None),
    ("        reveal_type(row)", 'Revealed type is "list[str]"'),
    ("    reveal_type(len(reader) + reader.summary.to_dict()['total_rows'])", 'Revealed type is "int"'),
    (
        "reveal_type(csv_mendle.sniff(''))",
        "Revealed type is \"Literal[','] | Literal[';'] | Literal['\\t'] | Literal['|']\"",
    ),
    (
        "csv_mendle.mendle_file('a', 'b', expected_columns='3')",
        'Argument "expected_columns" to "mendle_file" has incompatible type "str"',
    ),
    ("reader.summary = reader.summary", 'Property "summary" defined in "MendleReader" is read-only'),
    ("csv_mendle.MendleSummary.to_dict(reader.summary)['rows']", '"_SummaryDict" has no key "rows"'),
]


@needs_mypy
def test_stub_types_reach_users(tmp_path):
    program = tmp_path / "uses_the_stub.py"
    program.write_text("".join(line + "\n" for line, _ in USES_OF_THE_STUB), encoding="utf-8")
    said: dict[int, list[str]] = {}
    for message in run_mypy(str(program)).stdout.splitlines():
        location, _, text = message.partition(": ")
        if location.startswith(str(program) + ":"):
            said.setdefault(int(location.rsplit(":", 1)[1]), []).append(text)
    for number, (line, expected) in enumerate(USES_OF_THE_STUB, start=1):
        texts = said.get(number, [])
        if expected is None:
            assert texts == [], line
        else:
            assert any(expected in text for text in texts), (line, texts)

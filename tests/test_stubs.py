"""The shipped type stubs (python/quillet-stubs) against the module: mypy's
stubtest for names and signatures, `mypy --strict` over a program that uses
every method, and every method's real result checked against the record
types the stubs declare (keys, their order, value types)."""

import __future__
import inspect
import os
import subprocess
import sys
import types
import typing
from pathlib import Path

import pytest

import quillet
from richpdf import rich_pdf

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "python" / "quillet-stubs" / "__init__.pyi"
CLI = ROOT / "python" / "quillet_cli.py"
EXAMPLE = Path(__file__).resolve().parent / "typing_example.py"


def mypy_env(tmp_path: Path) -> dict[str, str]:
    """The repository's stubs first on mypy's path (whether quillet runs from
    a build folder or an installed wheel), and the module under test first
    on Python's path."""
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    (stubs / "quillet.pyi").write_text(STUB.read_text())
    env = dict(os.environ)
    env["MYPYPATH"] = str(stubs)
    env["PYTHONPATH"] = os.pathsep.join([str(Path(quillet.__file__).parent)] + sys.path)
    env["MYPY_CACHE_DIR"] = str(tmp_path / "cache")
    return env


def run_mypy(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    pytest.importorskip("mypy", reason="mypy is in the [test] extra")
    return subprocess.run([sys.executable, "-m", *args], env=mypy_env(tmp_path), capture_output=True, text=True)


def test_stubtest_finds_the_stubs_and_module_agree(tmp_path):
    result = run_mypy(tmp_path, "mypy.stubtest", "quillet")
    assert result.returncode == 0, result.stdout + result.stderr


def test_example_program_and_command_line_tool_pass_strict_type_check(tmp_path):
    result = run_mypy(tmp_path, "mypy", "--strict", str(EXAMPLE), str(CLI))
    assert result.returncode == 0, result.stdout + result.stderr


def test_example_program_runs():
    namespace: dict = {}
    exec(compile(EXAMPLE.read_text(), str(EXAMPLE), "exec"), namespace)
    namespace["main"]()


# ---- results against the declared record types ----

def stub_namespace() -> dict:
    # A stub is valid Python: executed as a module of its own, its
    # TypedDicts carry their keys in order, which of them may be absent, and
    # their value types.  typing.type_check_only exists for type checkers only.
    module = types.ModuleType("quillet_stub_under_test")
    sys.modules[module.__name__] = module
    missing = not hasattr(typing, "type_check_only")
    if missing:
        typing.type_check_only = lambda cls: cls
    try:
        # Stubs read their annotations lazily, as under this future import.
        flags = __future__.annotations.compiler_flag
        exec(compile(STUB.read_text(), str(STUB), "exec", flags=flags, dont_inherit=True), module.__dict__)
    finally:
        if missing:
            del typing.type_check_only
    return module.__dict__


STUBS = stub_namespace()


def check(value, expected, where: str) -> None:
    origin, args = typing.get_origin(expected), typing.get_args(expected)
    if expected is type(None) or expected is None:
        assert value is None, where
    elif origin in (typing.Union, types.UnionType):
        failures = []
        for option in args:
            try:
                return check(value, option, where)
            except AssertionError as failure:
                failures.append(str(failure))
        raise AssertionError(f"{where}: {value!r} is none of {expected}: {failures}")
    elif origin is typing.Literal:
        assert any(value == a and type(value) is type(a) for a in args), f"{where}: {value!r} not in {args}"
    elif origin is list:
        assert type(value) is list, f"{where}: {type(value).__name__}"
        for i, item in enumerate(value):
            check(item, args[0], f"{where}[{i}]")
    elif origin is tuple:
        assert type(value) is tuple and len(value) == len(args), f"{where}: {value!r}"
        for i, (item, arg) in enumerate(zip(value, args)):
            check(item, arg, f"{where}[{i}]")
    elif origin is dict:
        assert type(value) is dict, f"{where}: {type(value).__name__}"
        for key, item in value.items():
            check(key, args[0], f"{where} key")
            check(item, args[1], f"{where}[{key!r}]")
    elif typing.is_typeddict(expected):
        check_record(value, expected, where)
    elif expected is STUBS["Document"]:
        assert isinstance(value, quillet.Document), where
    else:
        # int is not bool, float is not int: the exact Python types.
        assert type(value) is expected, f"{where}: {type(value).__name__} is not {expected.__name__}"


def check_record(value, record_type, where: str) -> None:
    assert type(value) is dict, f"{where}: {type(value).__name__}"
    declared = list(record_type.__annotations__)
    assert list(value) == [key for key in declared if key in value], f"{where}: keys {list(value)} vs {declared}"
    # Under lazy annotations TypedDict cannot tell NotRequired keys itself.
    optional = {key for key, hint in record_type.__annotations__.items()
                if getattr(hint, "__forward_arg__", "").startswith("NotRequired[")}
    missing = set(declared) - optional - value.keys()
    assert not missing, f"{where}: missing {missing}"
    hints = typing.get_type_hints(record_type, globalns=STUBS)
    for key, item in value.items():
        check(item, hints[key], f"{where}[{key!r}]")


def stub_methods():
    document = STUBS["Document"]
    for name, member in vars(document).items():
        function = getattr(member, "__func__", member)
        if inspect.isfunction(function) and (not name.startswith("_") or name == "__len__"):
            yield name, inspect.signature(function), typing.get_type_hints(function, globalns=STUBS)["return"]


def arguments(signature: inspect.Signature, pdf: bytes, path: str, flags: bool) -> dict:
    """Required parameters filled; with `flags`, every bool parameter set."""
    required = {"data": pdf, "path": path, "index": 0, "page_index": 0, "number": 1, "rect": [0, 0, 10, 10],
                "contents": "note", "uri": "https://example.org/"}
    args = {}
    for name, parameter in signature.parameters.items():
        if name in ("self", "cls"):
            continue
        if parameter.default is inspect.Parameter.empty:
            args[name] = required[name]
        elif flags and isinstance(parameter.default, bool):
            args[name] = True
        elif flags and name == "ocr":
            args[name] = "always"
    return args


METHODS = list(stub_methods())


@pytest.mark.parametrize("flags", [False, True], ids=["defaults", "all-flags"])
@pytest.mark.parametrize("name, signature, returns", METHODS, ids=[m[0] for m in METHODS])
def test_result_matches_declared_record(tmp_path, name, signature, returns, flags):
    pdf = rich_pdf()
    path = tmp_path / "rich.pdf"
    path.write_bytes(pdf)
    doc = quillet.Document(pdf)
    result = getattr(doc, name)(**arguments(signature, pdf, str(path), flags))
    check(result, returns, name)


def test_every_record_type_is_reached():
    # Each TypedDict of the stubs is returned by some method.
    reached: set[str] = set()

    def walk(hint):
        if typing.is_typeddict(hint):
            if hint.__name__ not in reached:
                reached.add(hint.__name__)
                for inner in typing.get_type_hints(hint, globalns=STUBS).values():
                    walk(inner)
        for arg in typing.get_args(hint):
            walk(arg)

    for _, _, returns in METHODS:
        walk(returns)
    declared = {name for name, value in STUBS.items() if typing.is_typeddict(value)}
    assert declared - reached == set()

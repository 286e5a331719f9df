"""What the module shows to Python: its names, the opaque handle, the codec factory, import."""

from __future__ import annotations

import ast
import re
import shutil
from pathlib import Path

import pyarrow as pa
import pytest
import shredder_ext

from conftest import REPO_ROOT, json_batch, run_python

EXPORTED = ["ControllerHandle", "create_controller", "shred_arrow", "unshred_arrow"]
# the package's own, marked by the underscore
INTERNAL = ["_digest_arrow", "_column_owners", "_carried_owners", "_carry_owners",
            "_JsonLinesCutter", "_JsonArrayCutter", "_JsonArrayCuts"]
STUB = REPO_ROOT / "python" / "shredder_ext.pyi"


def public_names(namespace) -> list[str]:
    return [name for name in vars(namespace) if not name.startswith("__")]


def test_module_exports_exactly_four_names_in_registration_order():
    assert [n for n in public_names(shredder_ext) if not n.startswith("_")] == EXPORTED
    assert public_names(shredder_ext) == EXPORTED + INTERNAL


def test_module_docstring():
    assert shredder_ext.__doc__ == (
        "Reversible document shredder (Controller boundary; RecordBatch in/out)")


@pytest.mark.parametrize(
    "function, signature",
    [
        ("create_controller", "create_controller(name: str, /, *, exact: bool = False, "
                              "owners: object = None) -> shredder_ext.ControllerHandle"),
        ("shred_arrow", "shred_arrow(handle: shredder_ext.ControllerHandle, rb: object, "
                        "column: object = None, debug: bool = False, *, skip: bool = False) "
                        "-> object"),
        ("unshred_arrow", "unshred_arrow(handle: shredder_ext.ControllerHandle, "
                          "atoms_rb: object, *, stamps: bool = True, skip: bool = False) "
                          "-> object"),
        ("_digest_arrow", "_digest_arrow(handle: shredder_ext.ControllerHandle, rb: object, "
                          "column: object = None) -> object"),
        ("_column_owners", "_column_owners(fields: object) -> list[int]"),
    ],
)
def test_functions_carry_only_their_generated_signature(function, signature):
    assert getattr(shredder_ext, function).__doc__ == signature + "\n"


def test_handle_class_has_no_attributes_or_methods_of_its_own():
    assert public_names(shredder_ext.ControllerHandle) == []


def test_handle_class_cannot_be_constructed():
    message = r"^shredder_ext\.ControllerHandle: No constructor defined!$"
    with pytest.raises(TypeError, match=message):
        shredder_ext.ControllerHandle()


@pytest.mark.parametrize("name", ["json", "arrow", b"json", bytearray(b"arrow")])
def test_create_controller_returns_a_new_handle_each_time(name):
    first = shredder_ext.create_controller(name)
    second = shredder_ext.create_controller(name)
    assert type(first) is shredder_ext.ControllerHandle
    assert first is not second


@pytest.mark.parametrize(
    "name, message",
    [
        ("JSON", "Unknown codec: JSON"),
        ("jsonx", "Unknown codec: jsonx"),
        ("", "Unknown codec: "),
        ("json ", "Unknown codec: json "),
        ("ärrow", "Unknown codec: ärrow"),
        (b"Arrow", "Unknown codec: Arrow"),
        # Bytes that are not UTF-8 still give a ValueError, shown with backslash escapes.
        (b"\xffjson", "Unknown codec: \\xffjson"),
    ],
)
def test_unknown_codec_names_raise_value_error_with_the_name(name, message):
    with pytest.raises(ValueError) as info:
        shredder_ext.create_controller(name)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda: shredder_ext.create_controller(),
        lambda: shredder_ext.create_controller(name="json"),
        lambda: shredder_ext.create_controller(1),
        lambda: shredder_ext.create_controller(None),
        lambda: shredder_ext.create_controller("json", "arrow"),
    ],
    ids=["no-argument", "keyword", "int", "none", "two-arguments"],
)
def test_create_controller_arguments_that_fit_no_signature(call):
    with pytest.raises(TypeError, match=r"^create_controller\(\): incompatible function arguments"):
        call()


def test_stub_documents_the_four_names_with_the_module_parameters():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    defined = [node.name for node in tree.body
               if isinstance(node, (ast.ClassDef, ast.FunctionDef))]
    assert defined == EXPORTED + INTERNAL
    for node in tree.body:
        if not isinstance(node, ast.FunctionDef):
            continue
        signature = getattr(shredder_ext, node.name).__doc__.splitlines()[0]
        generated = re.findall(r"(\w+): [\w.]+(?: = (\w+))?", signature.split(") ->")[0])
        stub_args = node.args.posonlyargs + node.args.args
        stub_defaults = [None] * (len(stub_args) - len(node.args.defaults)) + [
            ast.unparse(d) for d in node.args.defaults]
        stub_args += node.args.kwonlyargs
        stub_defaults += [None if d is None else ast.unparse(d) for d in node.args.kw_defaults]
        if node.name == "create_controller":
            # The codec name is positional only in the module; the stub says so.
            assert len(node.args.posonlyargs) == 1 and not node.args.args
        assert [a.arg for a in stub_args] == [n for n, _ in generated]
        assert stub_defaults == [d or None for _, d in generated]


def test_installed_stub_is_the_shipped_one():
    installed = Path(shredder_ext.__file__).parent / "shredder_ext.pyi"
    assert installed.read_text(encoding="utf-8") == STUB.read_text(encoding="utf-8")


def test_import_in_a_fresh_interpreter_without_importing_pyarrow_first(tmp_path):
    code = (
        "import sys\n"
        "assert 'pyarrow' not in sys.modules\n"
        "import shredder_ext\n"
        "import pyarrow as pa\n"
        "h = shredder_ext.create_controller('json')\n"
        "rb = pa.RecordBatch.from_arrays([pa.array(['{\"a\": 1}'])], names=['doc'])\n"
        "print(shredder_ext.shred_arrow(h, rb).num_rows)\n"
    )
    child = run_python(code, cwd=tmp_path)
    assert child.returncode == 0, child.stderr.decode()
    assert child.stdout == b"1\n"


def test_missing_pyarrow_package_is_a_clear_import_error(tmp_path):
    code = (
        "import sys\n"
        "class Block:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name == 'pyarrow' or name.startswith('pyarrow.'):\n"
        "            raise ModuleNotFoundError(\"No module named 'pyarrow'\", name='pyarrow')\n"
        "sys.meta_path.insert(0, Block())\n"
        "try:\n"
        "    import shredder_ext\n"
        "except ImportError as error:\n"
        "    print(type(error).__name__, error, sep='|')\n"
    )
    child = run_python(code, cwd=tmp_path)
    assert child.returncode == 0, child.stderr.decode()
    assert child.stdout.decode() == (
        "ImportError|shredder_ext requires the pyarrow package, which could not be imported: "
        "ModuleNotFoundError: No module named 'pyarrow'\n")


def test_missing_pyarrow_libraries_are_an_import_error_naming_the_library(tmp_path):
    # A copy of the module away from site-packages finds no pyarrow folder beside it.
    shutil.copy(shredder_ext.__file__, tmp_path)
    code = (
        "import sys\n"
        f"sys.path.insert(0, {str(tmp_path)!r})\n"
        "try:\n"
        "    import shredder_ext\n"
        "except ImportError as error:\n"
        "    print(type(error).__name__, error, sep='|')\n"
    )
    child = run_python(code, cwd=tmp_path)
    assert child.returncode == 0, child.stderr.decode()
    kind, message = child.stdout.decode().rstrip("\n").split("|", 1)
    assert kind == "ImportError"
    assert re.search(r"libarrow\w*\.so\.\d+: cannot open shared object file", message), message


def test_handle_of_each_codec_shreds_its_own_input():
    json_handle = shredder_ext.create_controller("json")
    arrow_handle = shredder_ext.create_controller("arrow")
    text = json_batch([{"a": 1}])
    structs = pa.RecordBatch.from_arrays([pa.array([{"a": 1}])], names=["doc"])
    assert shredder_ext.shred_arrow(json_handle, text).column("root_a").to_pylist() == [1]
    assert shredder_ext.shred_arrow(arrow_handle, structs).column("root_a").to_pylist() == [1]

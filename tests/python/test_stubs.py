"""The type stubs of the native engine name what the module really exports, and nothing else."""

import ast
import inspect
import pathlib

import quillfen

STUB = pathlib.Path(quillfen.__file__).with_name("_quillfen.pyi")
# Names that exist only for type checkers.
STUB_ONLY = {"_Source", "Namespaces", "SheetOptions", "ReadingHelpers", "WritingHelpers", "_Chunk", "_ArrowColumn"}


def _stub():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    names, classes = set(), {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        if isinstance(node, ast.ClassDef):
            classes[node.name] = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
    return names - STUB_ONLY, classes


def test_stub_names_match_exports(native):
    names, classes = _stub()
    assert names == {n for n in dir(native) if not n.startswith("__")}
    for cls_name, methods in classes.items():
        if cls_name in STUB_ONLY:
            continue
        cls = getattr(native, cls_name)
        # Only what the class itself defines: the exception inherits all of its methods.
        own = {n for n in vars(cls) if not n.startswith("__")}
        assert {n for n in methods if not n.startswith("__")} == own, cls_name
        for name in methods:
            assert hasattr(cls, name), f"{cls_name}.{name}"


def test_stub_parameters_match_signatures(native):
    """Where the engine publishes a text signature, the stub takes the same parameters."""
    _, classes = _stub()
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    pairs = [(getattr(native, name), node) for name, node in functions.items()]
    for cls_name, methods in classes.items():
        if cls_name in STUB_ONLY:
            continue
        for name, node in methods.items():
            if not name.startswith("__"):
                pairs.append((getattr(getattr(native, cls_name), name), node))
    for obj, node in pairs:
        if not callable(obj):  # a property
            continue
        try:
            sig = inspect.signature(obj)
        except ValueError:
            continue
        args = node.args
        stub_params = [a.arg for a in args.posonlyargs + args.args + args.kwonlyargs if a.arg != "self"]
        assert stub_params == [p for p in sig.parameters if p != "self"], node.name

"""The type stubs shipped with the package describe the modules as they are:
every function, class, method and property of a stub exists at run time with
the same parameters and defaults, and every public function, class and
method of a module appears in its stub. Every public name of a stub carries
an English docstring, which is what an IDE shows."""
import ast
import importlib
import inspect
import os
import re

import pytest

import qxdcs.algorithm as pkg

SOURCE_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                          "qxdcs", "algorithm")


def stub_path(name):
    """The stub next to the installed module, or in the source tree (an
    editable install keeps only the compiled modules in site-packages)."""
    mod = importlib.import_module("qxdcs.algorithm." + name)
    here = os.path.join(os.path.dirname(mod.__file__), name + ".pyi")
    return here if os.path.exists(here) else os.path.join(SOURCE_DIR, name + ".pyi")


MODULES = sorted(f[:-4] for f in os.listdir(SOURCE_DIR) if f.endswith(".pyi"))


def _literal(node_or_text):
    try:
        if isinstance(node_or_text, str):
            return ast.literal_eval(node_or_text)
        return ast.literal_eval(node_or_text)
    except (ValueError, SyntaxError, TypeError):
        return ast.unparse(node_or_text) if isinstance(node_or_text, ast.AST) else node_or_text


def _params_of_def(fn_def):
    a = fn_def.args
    args = a.posonlyargs + a.args
    defaults = [None] * (len(args) - len(a.defaults)) + [_literal(d) for d in a.defaults]
    params = [(arg.arg, d) for arg, d in zip(args, defaults)]
    params += [(arg.arg, None if d is None else _literal(d))
               for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
    return params


def _runtime_params(fn):
    """Parameter names and defaults of a function as the interpreter sees it."""
    sig = getattr(fn, "__nb_signature__", None)
    if sig:
        text, _doc, defaults = sig[0]
        defaults = defaults or ()

        def fill(m):
            value = defaults[int(m.group(2))]
            return value if m.group(1) else repr(value)

        text = re.sub(r"\\(=?)(\d+)", fill, text)
        text = re.sub(r"\) -> .*$", ")", text)
        return _params_of_def(ast.parse(text + ": ...").body[0])
    params = []
    for p in inspect.signature(fn).parameters.values():
        params.append((p.name, None if p.default is inspect.Parameter.empty else p.default))
    return params


def _is_property(node):
    return any((isinstance(d, ast.Name) and d.id == "property") or
               (isinstance(d, ast.Attribute) and d.attr in ("setter", "deleter"))
               for d in node.decorator_list)


def _stub(name):
    with open(stub_path(name), encoding="utf-8") as f:
        return ast.parse(f.read())


@pytest.mark.parametrize("name", MODULES)
def test_stub_functions_match_the_module(name):
    mod = importlib.import_module("qxdcs.algorithm." + name)
    tree = _stub(name)
    stub = {n.name: _params_of_def(n) for n in tree.body if isinstance(n, ast.FunctionDef)}
    runtime = {k: _runtime_params(v) for k, v in vars(mod).items()
               if callable(v) and not isinstance(v, type) and not k.startswith("_")
               and getattr(v, "__module__", mod.__name__) == mod.__name__}
    assert stub == runtime


@pytest.mark.parametrize("name", MODULES)
def test_stub_classes_match_the_module(name):
    mod = importlib.import_module("qxdcs.algorithm." + name)
    tree = _stub(name)
    stub_classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    runtime_classes = {k for k, v in vars(mod).items()
                       if isinstance(v, type) and v.__module__ == mod.__name__}
    assert set(stub_classes) == runtime_classes
    for cname, node in stub_classes.items():
        cls = getattr(mod, cname)
        try:
            instance = cls()
        except Exception:   # a class that needs arguments: its attributes are on the class
            instance = None
        described = set()
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                described.add(item.name)
                attr = inspect.getattr_static(cls, item.name)
                if _is_property(item):
                    assert isinstance(attr, property), f"{cname}.{item.name} is not a property"
                    continue
                assert _params_of_def(item) == _runtime_params(getattr(cls, item.name)), \
                    f"{cname}.{item.name}"
            elif isinstance(item, ast.AnnAssign):
                described.add(item.target.id)
                assert hasattr(cls, item.target.id) or hasattr(instance, item.target.id), \
                    f"{cname}.{item.target.id}"
        public = {k for k, v in vars(cls).items()
                  if not k.startswith("_") and (callable(v) or isinstance(v, property))}
        assert public <= described, f"{cname}: not in the stub: {sorted(public - described)}"


def test_every_module_has_a_stub():
    built = {f.split(".")[0] for f in os.listdir(os.path.dirname(pkg.__file__) if
             os.path.exists(os.path.dirname(pkg.__file__)) else SOURCE_DIR)
             if f.endswith((".so", ".pyd"))}
    compiled = {m for m in built if not m.startswith("_")}
    assert compiled <= set(MODULES)


def _is_accessor(node):
    """A property's setter or deleter: the getter carries the docstring."""
    return any(isinstance(d, ast.Attribute) and d.attr in ("setter", "deleter")
               for d in node.decorator_list)


def _public(name):
    return not name.startswith("_") or (name.startswith("__") and name.endswith("__"))


def _documented(body, in_class=False):
    """(name, docstring or None) of every public class, function, method,
    property and class attribute of a stub, dotted by class; an attribute's
    docstring is the string that follows its annotation. Module attributes
    (the modules a module brings along) are not described."""
    for i, node in enumerate(body):
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and _public(node.name):
            if isinstance(node, ast.FunctionDef) and _is_accessor(node):
                continue
            yield node.name, ast.get_docstring(node)
            if isinstance(node, ast.ClassDef):
                for name, doc in _documented(node.body, in_class=True):
                    yield f"{node.name}.{name}", doc
        elif (in_class and isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
              and _public(node.target.id)):
            nxt = body[i + 1] if i + 1 < len(body) else None
            doc = (nxt.value.value if isinstance(nxt, ast.Expr) and isinstance(nxt.value, ast.Constant)
                   and isinstance(nxt.value.value, str) else None)
            yield node.target.id, doc


def _stub_docstrings(name):
    tree = _stub(name)
    return [("module", ast.get_docstring(tree))] + list(_documented(tree.body))


@pytest.mark.parametrize("name", MODULES)
def test_every_public_name_of_a_stub_has_a_docstring(name):
    missing = [what for what, doc in _stub_docstrings(name) if not (doc and doc.strip())]
    assert missing == []


# Chinese characters and the full-width punctuation that goes with them.
_CJK = re.compile("[\u3000-\u303f\u4e00-\u9fff\uff00-\uffef]")


@pytest.mark.parametrize("name", MODULES)
def test_stub_docstrings_are_english(name):
    """Where a module's own docstring is in another language, its stub gives the English."""
    foreign = [what for what, doc in _stub_docstrings(name) if doc and _CJK.search(doc)]
    assert foreign == []

"""The module and class as Python sees them."""

import importlib
import inspect
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import types
import weakref

import pytest

import velkor
import velkor_tools._native
from conftest import EXAMPLE_IMAGE, MINIMAL_IMAGE, tokenizer_image


def test_module_attributes():
    assert velkor.__all__ == ["Data", "load_from_file"]
    assert type(velkor.__all__) is list
    assert velkor.__doc__ == ""
    assert not hasattr(velkor, "PanicException")


def test_data_type_attributes():
    Data = velkor.Data
    assert (Data.__name__, Data.__qualname__, Data.__module__) == ("Data", "Data", "builtins")
    assert Data.__doc__ is None
    assert Data.__bases__ == (object,)
    assert "__dict__" not in dir(Data) and "__weakref__" not in dir(Data)
    assert [name for name in ("train", "encode", "decode", "vocab") if name in vars(Data)] == [
        "train",
        "encode",
        "decode",
        "vocab",
    ]


def test_load_from_file_is_a_builtin_of_the_module():
    function = velkor.load_from_file
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__module__ == "velkor"
    assert function.__name__ == "load_from_file"
    assert function.__self__ is velkor


@pytest.mark.parametrize(
    "callable_, signature",
    [
        (velkor.Data.train, "(self, /, train_file, print_logs, logs_file)"),
        (velkor.Data.encode, "(self, /, st)"),
        (velkor.Data.decode, "(self, /, tokens)"),
        (velkor.Data.vocab, "(self, /)"),
        (velkor.load_from_file, "(filename)"),
    ],
)
def test_signatures_without_doc(callable_, signature):
    assert str(inspect.signature(callable_)) == signature
    assert callable_.__doc__ is None


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"x": 1})])
def test_class_has_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as caught:
        velkor.Data(*args, **kwargs)
    assert str(caught.value) == "No constructor defined"


def test_subclassing_is_refused():
    with pytest.raises(TypeError):

        class Sub(velkor.Data):  # noqa: F841
            pass


def test_instances_have_no_dict_nor_weakrefs(data):
    assert repr(data).startswith("<builtins.Data object at 0x")
    with pytest.raises(AttributeError):
        data.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(data)


def test_vocab_refuses_arguments_before_entering(data):
    with pytest.raises(TypeError):
        data.vocab(1)


def test_reimport_returns_the_same_module_and_type():
    module, data_type = velkor, velkor.Data
    del sys.modules["velkor"]
    try:
        again = importlib.import_module("velkor")
    finally:
        sys.modules["velkor"] = module
    assert again is module
    assert again.Data is data_type
    assert again.__all__ == ["Data", "load_from_file"]


def test_second_interpreter_is_refused():
    # A child process, so the interpreters of this one stay untouched.
    script = textwrap.dedent(
        """
        import sys
        import velkor
        # The interpreters module is private and changed between 3.12 and 3.13.
        if sys.version_info < (3, 13):
            import _xxsubinterpreters as interpreters
            configs = ({"isolated": False}, {})
        else:
            import _interpreters as interpreters
            configs = ({"config": "legacy"}, {"config": "isolated"})
        for config in configs:
            interp = interpreters.create(**config)
            try:
                failed = interpreters.run_string(interp, "import velkor")
            except Exception as error:  # 3.12 raises RunFailedError
                print(error)
            else:  # 3.13 returns a description of the exception
                print(f"<class '{failed.type.__name__}'>: {failed.msg}" if failed else "imported")
            interpreters.destroy(interp)
        print(velkor.__all__, velkor.load_from_file.__module__)
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True
    )
    legacy, isolated, first = result.stdout.splitlines()
    # The legacy configuration lets the module itself refuse.
    assert legacy.startswith("<class 'ImportError'>: ")
    assert "do not yet support subinterpreters" in legacy
    assert "http" not in legacy
    assert isolated.startswith("<class 'ImportError'>: ")
    assert first == "['Data', 'load_from_file'] velkor"


def test_native_module_made_in_a_subinterpreter_first():
    # Its types are process globals: a subinterpreter that imported it first
    # made them in an interpreter that was then destroyed, and the main one
    # used them after. 3.12 refuses it there; 3.13 makes a module of this kind
    # in the main interpreter and lends it out.
    script = textwrap.dedent(
        """
        import sys
        if sys.version_info < (3, 13):
            import _xxsubinterpreters as interpreters
            config = {"isolated": False}
        else:
            import _interpreters as interpreters
            config = {"config": "legacy"}
        interp = interpreters.create(**config)
        try:
            failed = interpreters.run_string(interp, "import velkor_tools._native")
        except Exception as error:
            print(error)
        else:
            print(f"<class '{failed.type.__name__}'>: {failed.msg}" if failed else "imported")
        interpreters.destroy(interp)
        import gc, velkor_tools
        gc.collect()
        print(velkor_tools.Tokenizer.from_bytes(open(sys.argv[1], "rb").read()).encode("ab"))
        """
    )
    with tempfile.NamedTemporaryFile(suffix=".tok") as model:
        model.write(tokenizer_image({0: b"", 1: b"a", 2: b"b"}, {}, {"oov": 0, "a": 1, "b": 2}))
        model.flush()
        result = subprocess.run([sys.executable, "-c", script, model.name], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    sub, main = result.stdout.splitlines()
    assert sub == "imported" if sys.version_info >= (3, 13) else "subinterpreters" in sub
    assert main == "[1, 2]"


def test_example_images_match_the_builder():
    assert len(MINIMAL_IMAGE) == 47 and len(EXAMPLE_IMAGE) == 87
    assert MINIMAL_IMAGE == tokenizer_image({0: b""}, {}, {"oov": 0})
    assert EXAMPLE_IMAGE == tokenizer_image(
        {0: b"", 1: b"a", 2: b"aa"}, {(1, 1): 2}, {"oov": 0, "a": 1}
    )


def test_vocab(load):
    assert load(MINIMAL_IMAGE).vocab() == [0]
    assert sorted(load(EXAMPLE_IMAGE).vocab()) == [0, 1, 2]
    assert sorted(load(EXAMPLE_IMAGE + b"trailing").vocab()) == [0, 1, 2]
    assert load(bytes(24)).vocab() == []
    ids = load(lookup={5: b"x", 3: b"\xff", 9: b""}).vocab()
    assert sorted(ids) == [3, 5, 9] and all(type(i) is int for i in ids)
    assert sorted(load(lookup=[(7, b"a"), (7, b"b")]).vocab()) == [7]


def test_vocab_order_is_stable_per_object(load):
    data = load(lookup={i: bytes([i % 256]) for i in range(300)})
    first = data.vocab()
    assert sorted(first) == list(range(300))
    assert data.vocab() == first


def test_type_checkers_find_the_stubs(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "use.py").write_text(
        textwrap.dedent(
            """
            import velkor
            data: velkor.Data = velkor.load_from_file("tokenizer")
            ids: list[int] = data.encode("text")
            text: str = data.decode(ids)
            data.decode(b"\\x01")
            data.train("train.txt", True, "log.txt")
            reveal_type(data.vocab())
            data.encode(5)
            import numpy, velkor_tools
            data.decode(numpy.array([1, 2], dtype=numpy.uint16))
            data.train("train.txt", numpy.bool_(False), "log.txt")
            tok = velkor_tools.Tokenizer.from_file("model.tok")
            tok.id_to_token(tok.encode_to_numpy("text")[0])
            """
        )
    )
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), "use.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    lines = result.stdout.splitlines()
    assert re.fullmatch(r'use.py:8: note: Revealed type is "(builtins\.)?list\[(builtins\.)?int\]"', lines[0])
    assert [line for line in lines if "error" in line][0].startswith(
        'use.py:9: error: Argument 1 to "encode" of "Data" has incompatible type "int"'
    )
    assert lines[-1].startswith("Found 1 error in 1 file")


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
@pytest.mark.parametrize("module, init", [(velkor, "PyInit_velkor"),
                                          (velkor_tools._native, "PyInit__native")])
def test_only_the_init_function_is_exported(module, init):
    out = subprocess.run(
        ["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    # What else remains is the standard library's (type names of std::function).
    assert [s for s in symbols if "velkor" in s.lower() or s.startswith("PyInit")] == [init]

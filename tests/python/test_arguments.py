"""Argument matching and conversion: which error a wrong call gets, word for word."""

import array
import pathlib

import numpy as np
import pytest

import velkor

OUT_OF_RANGE = "out of range integral type conversion attempted"


def raises_exactly(exception_type, message, fn, *args, **kwargs):
    with pytest.raises(BaseException) as caught:
        fn(*args, **kwargs)
    assert type(caught.value) is exception_type
    assert str(caught.value) == message
    return caught.value


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        (
            "train",
            (),
            {},
            "Data.train() missing 3 required positional arguments: "
            "'train_file', 'print_logs', and 'logs_file'",
        ),
        (
            "train",
            ("a",),
            {},
            "Data.train() missing 2 required positional arguments: 'print_logs' and 'logs_file'",
        ),
        (
            "train",
            ("a",),
            {"print_logs": True},
            "Data.train() missing 1 required positional argument: 'logs_file'",
        ),
        (
            "train",
            (),
            {"logs_file": "l"},
            "Data.train() missing 2 required positional arguments: 'train_file' and 'print_logs'",
        ),
        ("train", (1, 2, 3, 4), {}, "Data.train() takes 3 positional arguments but 4 were given"),
        ("encode", ("a", "b"), {}, "Data.encode() takes 1 positional arguments but 2 were given"),
        ("encode", ("a",), {"st": "b"}, "Data.encode() got multiple values for argument 'st'"),
        ("encode", (), {"text": "a"}, "Data.encode() got an unexpected keyword argument 'text'"),
        # A keyword names a parameter only when it is the whole name.
        ("encode", (), {"stx": "a"}, "Data.encode() got an unexpected keyword argument 'stx'"),
        # Keywords are taken in the caller's order; the first bad one decides.
        (
            "encode",
            (),
            {"st": "a", "x": 1, "y": 2},
            "Data.encode() got an unexpected keyword argument 'x'",
        ),
        ("encode", (), {}, "Data.encode() missing 1 required positional argument: 'st'"),
        ("decode", (1, 2), {}, "Data.decode() takes 1 positional arguments but 2 were given"),
        ("decode", (), {"token": []}, "Data.decode() got an unexpected keyword argument 'token'"),
        # Counting comes before conversion: wrong types are not looked at.
        ("train", (5, 5, 5, 5), {}, "Data.train() takes 3 positional arguments but 4 were given"),
        ("encode", (5,), {"st": 6}, "Data.encode() got multiple values for argument 'st'"),
    ],
)
def test_matching_messages(data, method, args, kwargs, message):
    raises_exactly(TypeError, message, getattr(data, method), *args, **kwargs)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "load_from_file() missing 1 required positional argument: 'filename'"),
        (("a", "b"), {}, "load_from_file() takes 1 positional arguments but 2 were given"),
        (("a",), {"filename": "b"}, "load_from_file() got multiple values for argument 'filename'"),
        ((), {"path": "a"}, "load_from_file() got an unexpected keyword argument 'path'"),
    ],
)
def test_load_from_file_matching(args, kwargs, message):
    raises_exactly(TypeError, message, velkor.load_from_file, *args, **kwargs)


def test_keyword_without_utf8_form_is_unexpected(data):
    raises_exactly(
        TypeError,
        "Data.encode() got an unexpected keyword argument '\udc80'",
        data.encode,
        **{"\udc80": 1},
    )


def test_keywords_fill_parameters(data, reaches_body, write_image):
    # Keyword order does not matter; conversion runs in parameter order.
    raises_exactly(
        TypeError,
        "argument 'train_file': 'int' object cannot be converted to 'PyString'",
        data.train,
        logs_file=3,
        print_logs=2,
        train_file=1,
    )
    assert sorted(velkor.load_from_file(filename=write_image(lookup={4: b""})).vocab()) == [4]
    result = reaches_body(data.decode, tokens=[1, 2])
    assert result in (None, "aaa")


@pytest.mark.parametrize(
    "value, type_name",
    [(5, "int"), (b"abc", "bytes"), (pathlib.Path("p"), "PosixPath"), (None, "NoneType")],
)
def test_text_refusals(data, value, type_name):
    message = f"'{type_name}' object cannot be converted to 'PyString'"
    raises_exactly(TypeError, f"argument 'st': {message}", data.encode, value)
    raises_exactly(TypeError, f"argument 'filename': {message}", velkor.load_from_file, value)
    raises_exactly(TypeError, f"argument 'train_file': {message}", data.train, value, True, "l")
    raises_exactly(TypeError, f"argument 'logs_file': {message}", data.train, "t", True, value)


def test_conversion_error_uses_the_qualified_name(data):
    class Inner:
        pass

    raises_exactly(
        TypeError,
        "argument 'st': 'test_conversion_error_uses_the_qualified_name.<locals>.Inner' "
        "object cannot be converted to 'PyString'",
        data.encode,
        Inner(),
    )


def test_lone_surrogate_gets_the_interpreters_encoding_error(data):
    with pytest.raises(UnicodeEncodeError) as caught:
        data.encode("a\ud800")
    assert not str(caught.value).startswith("argument")
    with pytest.raises(UnicodeEncodeError):
        velkor.load_from_file("\ud800")


def test_str_subclass_is_text(data, write_image, reaches_body):
    class Text(str):
        pass

    assert velkor.load_from_file(Text(write_image(lookup={1: b""}))).vocab() == [1]
    assert reaches_body(data.encode, Text("aa")) in (None, [2])


@pytest.mark.parametrize(
    "value, type_name",
    [(1, "int"), (0, "int"), (None, "NoneType"), (np.int64(1), "int64"), ("True", "str")],
)
def test_print_logs_refuses_non_booleans(data, value, type_name):
    raises_exactly(
        TypeError,
        f"argument 'print_logs': '{type_name}' object cannot be converted to 'PyBool'",
        data.train,
        "t",
        value,
        "l",
    )


@pytest.mark.parametrize("flag", [True, False, np.True_, np.False_, np.bool_(1)])
def test_print_logs_accepts_booleans(data, flag, tmp_path, monkeypatch, reaches_body):
    # The training file is missing, so the body fails after conversion.
    monkeypatch.chdir(tmp_path)
    assert reaches_body(data.train, str(tmp_path / "missing.txt"), flag, "logs") is None


def _numpy_named_type(**namespace):
    # A type whose tp_name is exactly "numpy.bool_", as NumPy 1 names its scalar.
    return type("numpy.bool_", (), namespace)


def test_numpy_named_bool_without_truth_function(data):
    fake = _numpy_named_type()
    raises_exactly(
        TypeError,
        f"argument 'print_logs': object of type '{fake}' does not define a '__bool__' conversion",
        data.train,
        "t",
        fake(),
        "l",
    )


def test_numpy_named_bool_truth_function_errors_pass_on(data):
    def fail(self):
        raise ValueError("no truth")

    with pytest.raises(ValueError, match="^no truth$"):
        data.train("t", _numpy_named_type(__bool__=fail)(), "l")
    raises_exactly(
        TypeError,
        "argument 'print_logs': __bool__ should return bool, returned int",
        data.train,
        "t",
        _numpy_named_type(__bool__=lambda self: 2)(),
        "l",
    )


@pytest.mark.parametrize(
    "value, error",
    [
        ("12", "Can't extract `str` to `Vec`"),
        (type("Text", (str,), {})("1"), "Can't extract `str` to `Vec`"),
        (5, "'int' object cannot be converted to 'Sequence'"),
        ({1: 1}, "'dict' object cannot be converted to 'Sequence'"),
        ((i for i in [1]), "'generator' object cannot be converted to 'Sequence'"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
        ([1, 1.5], "'float' object cannot be interpreted as an integer"),
        ([1, "2"], "'str' object cannot be interpreted as an integer"),
    ],
)
def test_tokens_type_errors(data, value, error):
    raises_exactly(TypeError, f"argument 'tokens': {error}", data.decode, value)


@pytest.mark.parametrize("value", [[70000], [-1], [65536], [1, 65536, "x"], [True, -5]])
def test_tokens_out_of_range(data, value):
    raises_exactly(OverflowError, OUT_OF_RANGE, data.decode, value)


def test_tokens_beyond_a_c_long_keep_the_interpreters_overflow(data):
    with pytest.raises(OverflowError) as caught:
        data.decode([2**80])
    assert not str(caught.value).startswith("argument")


def test_first_failing_element_decides(data):
    raises_exactly(
        TypeError,
        "argument 'tokens': 'str' object cannot be interpreted as an integer",
        data.decode,
        [1, "x", 70000],
    )


@pytest.mark.parametrize(
    "value",
    [
        [1, 2],
        (1, 2),
        b"\x01\x02",
        bytearray(b"\x01\x02"),
        array.array("H", [1, 2]),
        range(1, 3),
        [True, 2],
        [np.uint16(1), np.int64(2)],
    ],
)
def test_tokens_sequences_accepted(data, value, reaches_body):
    assert reaches_body(data.decode, value) in (None, "aaa")


class _Sequence:
    """A sequence whose protocol methods can be made to fail."""

    def __init__(self, items, len_error=None, iter_error=None):
        self.items, self.len_error, self.iter_error = items, len_error, iter_error

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        if self.len_error:
            raise self.len_error
        return len(self.items)

    def __iter__(self):
        if self.iter_error:
            raise self.iter_error
        return iter(self.items)


def test_tokens_length_is_only_a_hint(data, reaches_body):
    failing_len = _Sequence([1, 2], len_error=RuntimeError("no len"))
    assert reaches_body(data.decode, failing_len) in (None, "aaa")


def test_tokens_iteration_errors(data):
    raises_exactly(
        TypeError,
        "argument 'tokens': cannot iterate",
        data.decode,
        _Sequence([], iter_error=TypeError("cannot iterate")),
    )
    raises_exactly(
        KeyError, "'gone'", data.decode, _Sequence([], iter_error=KeyError("gone"))
    )

    def broken():
        yield 1
        raise TypeError("midway")

    class Midway(_Sequence):
        def __iter__(self):
            return broken()

    raises_exactly(TypeError, "argument 'tokens': midway", data.decode, Midway([]))


class _Index:
    def __init__(self, index):
        self.index = index

    def __index__(self):
        return self.index()


def test_only_an_exact_type_error_is_wrapped_and_its_cause_kept(data):
    root = ValueError("root")

    def chained():
        raise TypeError("inner") from root

    error = raises_exactly(TypeError, "argument 'tokens': inner", data.decode, [_Index(chained)])
    assert error.__cause__ is root

    def plain():
        raise TypeError("inner")

    error = raises_exactly(TypeError, "argument 'tokens': inner", data.decode, [_Index(plain)])
    assert error.__cause__ is None

    class Subclass(TypeError):
        pass

    def subclassed():
        raise Subclass("kept")

    raises_exactly(Subclass, "kept", data.decode, [_Index(subclassed)])

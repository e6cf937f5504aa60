"""decode: the ids' byte strings joined, then read once as UTF-8."""

import pytest


@pytest.fixture
def data(load):
    # 3 and 4 split "é" (C3 A9); 5 is never valid UTF-8.
    return load(
        lookup={0: b"", 1: b"ab", 2: "\u00e9".encode(), 3: b"x\xc3", 4: b"\xa9y", 5: b"\xff",
                65535: b"!"},
    )


@pytest.mark.parametrize(
    "ids, text",
    [
        ([], ""),
        ([0], ""),
        ([1, 1, 1], "ababab"),
        ([2, 0, 1, 65535], "\u00e9ab!"),
        ([3, 4], "x\u00e9y"),  # a character split over two tokens comes out whole
        ([4, 3], "\ufffdyx\ufffd"),
        ([5], "\ufffd"),
        ([1, 5, 1], "ab\ufffdab"),
        (b"\x01\x02", "ab\u00e9"),
        ((1, 2), "ab\u00e9"),
        (range(1, 3), "ab\u00e9"),
    ],
)
def test_decode(data, ids, text):
    assert data.decode(ids) == text
    assert data.decode(tokens=ids) == text


def test_unknown_id_fails(data, load, PanicException):
    for ids in ([1, 7, 2], [7]):
        with pytest.raises(PanicException) as caught:
            data.decode(ids)
        assert str(caught.value) == "This should not happend"
    empty = load(lookup={})
    assert empty.decode([]) == ""
    with pytest.raises(PanicException):
        empty.decode([0])
    assert data.decode([1]) == "ab"  # the borrow was released



@pytest.mark.parametrize("length", [2**40, 2**62])
def test_length_is_only_a_hint(data, length):
    # A sequence whose __len__ claims far more items than it yields.
    claims = type("Claims", (), {"__len__": lambda _: length, "__getitem__": lambda _, i: [1, 2][i]})
    assert data.decode(claims()) == "ab\u00e9"

"""encode: clusters to ids, then learned merges most frequent pair first."""

import pytest

# "a" 1, "b" 2, "c" 3, "oov" 0; merges (1, 2) -> 4, (2, 3) -> 5, (4, 4) -> 6.
ABC = dict(
    lookup={0: b"", 1: b"a", 2: b"b", 3: b"c", 4: b"ab", 5: b"bc", 6: b"abab"},
    merges={(1, 2): 4, (2, 3): 5, (4, 4): 6},
    unicode_lookup={"oov": 0, "a": 1, "b": 2, "c": 3},
)


@pytest.fixture
def abc(load):
    return load(**ABC)


@pytest.mark.parametrize(
    "text, ids",
    [
        ("abcab", [4, 3, 4]),  # (1, 2) takes the 2 that (2, 3) would need
        ("cccab", [3, 3, 3, 1, 2]),  # (3, 3) leads and is no merge: stop
        ("abab", [6]),
        ("axb", [1, 0, 2]),
        ("a\0b", [1, 0, 2]),  # a NUL is a character like any other
        ("", []),
        ("c", [3]),
        ("z", [0]),
        ("oov", [0, 0, 0]),  # three clusters, never the reserved key
        ("a\u0301\u0302", [0]),  # one cluster with its marks, unknown as a whole
    ],
)
def test_encode(abc, text, ids):
    assert abc.encode(text) == ids
    assert abc.encode(st=text) == ids


def test_missing_oov_fails_only_when_needed(load, PanicException, capfd):
    data = load(lookup={1: b"a"}, unicode_lookup={"a": 1})
    assert data.encode("aa") == [1, 1]
    with pytest.raises(PanicException) as caught:
        data.encode("ab")
    assert str(caught.value) == "called `Option::unwrap()` on a `None` value"
    assert "called `Option::unwrap()` on a `None` value" in capfd.readouterr().err
    assert data.encode("a") == [1]  # the borrow was released


def test_lone_surrogate_is_refused(abc):
    with pytest.raises(UnicodeEncodeError):
        abc.encode("ab\udc80")

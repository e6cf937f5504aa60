"""Exact lists and tuples are read by index, and encode results share
their ints: both must look exactly like the general paths from Python."""

import array
import sys

import pytest

import velkor


@pytest.fixture
def letters(load) -> velkor.Data:
    # ids 0..26: "", "a".."z"; also two ids past the small-int cache.
    lookup = {0: b""}
    lookup.update({i: bytes([ord("a") + i - 1]) for i in range(1, 27)})
    lookup[300] = "é".encode()
    lookup[65535] = "中".encode()
    unicode_lookup = {"oov": 0, "é": 300, "中": 65535}
    unicode_lookup.update({chr(ord("a") + i - 1): i for i in range(1, 27)})
    return load(lookup=lookup, unicode_lookup=unicode_lookup)


class Index:
    def __init__(self, value, on_index=None):
        self.value = value
        self.on_index = on_index

    def __index__(self):
        if self.on_index:
            self.on_index()
        return self.value


class Number(int):
    pass


@pytest.mark.parametrize("container", [list, tuple, lambda ids: array.array("H", ids)])
def test_items_of_every_kind_decode_alike(letters, container):
    ids = [1, True, Number(3), Index(4), 300, 65535, False, 2**0 * 26]
    if container is not list and container is not tuple:
        ids = [int(i) for i in ids]
    assert letters.decode(container(ids)) == "aacdé中z"


@pytest.mark.parametrize("container", [list, tuple])
@pytest.mark.parametrize(
    ("bad", "error", "message"),
    [
        (-1, OverflowError, "out of range integral type conversion attempted"),
        (65536, OverflowError, "out of range integral type conversion attempted"),
        (2**40, OverflowError, "out of range integral type conversion attempted"),
        (-(2**40), OverflowError, "out of range integral type conversion attempted"),
        (Number(70000), OverflowError, "out of range integral type conversion attempted"),
        (2**80, OverflowError, None),
        (1.5, TypeError, None),
        ("a", TypeError, None),
        (None, TypeError, None),
    ],
)
def test_bad_items_fail_as_on_the_iterator_path(letters, container, bad, error, message):
    class Sequence:
        # A plain sequence: the general path through PyObject_GetIter.
        def __init__(self, items):
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, index):
            return self.items[index]

    items = [1, 2, bad, 3]
    with pytest.raises(error) as fast:
        letters.decode(container(items))
    with pytest.raises(error) as general:
        letters.decode(Sequence(items))
    assert str(fast.value) == str(general.value)
    if message is not None:
        assert str(fast.value) == message


def test_a_list_changed_while_read_is_read_as_its_iterator_would(letters):
    ids = [1]

    def grow():
        if len(ids) < 5:
            ids.append(2)

    ids.append(Index(3, grow))
    # The appended items are met, as list iteration meets them.
    assert letters.decode(ids) == "ac" + "b"
    assert ids[2:] == [2]

    shrinking = [1, None, 2, 3]

    def cut():
        del shrinking[2:]

    shrinking[1] = Index(4, cut)
    assert letters.decode(shrinking) == "ad"


def test_a_list_holding_the_only_reference_to_an_item_it_drops(letters):
    ids = []
    ids.extend([1, Index(2, lambda: ids.clear()), 3])
    assert letters.decode(ids) == "ab"


def test_long_encodes_share_equal_ints_and_round_trip(letters):
    text = ("abcé中" * 5000)[:20000]
    ids = letters.encode(text)
    assert len(ids) == 20000
    assert letters.decode(ids) == text
    assert all(type(i) is int for i in ids)
    big = [i for i in ids if i == 300]
    assert big and all(i is big[0] for i in big)
    assert letters.encode("é中a") == [300, 65535, 1]
    del big

    # Each list holds one reference per item; clearing it hands them back,
    # leaving the references taken here and the one kept for later results.
    ids = letters.encode(text)
    shared = ids[3]
    assert sys.getrefcount(shared) == 3 + 4000
    ids.clear()
    assert sys.getrefcount(shared) == 3
    assert letters.encode("é")[0] is shared


def test_decode_of_many_ids_matches_a_plain_join(letters):
    import random

    rng = random.Random(5)
    choices = [0, 1, 2, 26, 300, 65535]
    ids = [rng.choice(choices) for _ in range(50000)]
    table = {0: "", 1: "a", 2: "b", 26: "z", 300: "é", 65535: "中"}
    assert letters.decode(ids) == "".join(table[i] for i in ids)
    assert letters.decode(tuple(ids)) == "".join(table[i] for i in ids)

"""velkor_tools.Tokenizer: the same ids as Data.encode in every form, lookups,
pickling, saving and the errors."""

import array
import copy
import multiprocessing
import pathlib
import pickle
import weakref

import numpy
import pytest
from hypothesis import given, settings, strategies as st

import velkor
import velkor_tools
from conftest import EXAMPLE_IMAGE, tokenizer_image
from tokenizer_model import TEXTS, train_model
from velkor_tools import Tokenizer
from velkor_tools._native import ids_text


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    path = train_model(tmp_path_factory.mktemp("model"))
    return path, Tokenizer.from_file(path), velkor.load_from_file(str(path))


def check_all_forms(tok, data, texts):
    expected = [data.encode(text) for text in texts]
    assert [tok.encode(text) for text in texts] == expected
    assert [tok.encode_to_numpy(text).tolist() for text in texts] == expected
    assert tok.encode_batch(texts, num_threads=2) == expected
    ids, offsets = tok.encode_batch_to_numpy(texts)
    assert ids.dtype == numpy.uint16 and offsets.dtype == numpy.int64
    assert [ids[offsets[i] : offsets[i + 1]].tolist() for i in range(len(texts))] == expected
    assert tok.decode_batch(expected) == [data.decode(one) for one in expected]


def test_every_form_equals_data_encode(trained):
    path, tok, data = trained
    check_all_forms(tok, data, TEXTS + [pathlib.Path(path).parent.joinpath("train.txt").read_text()])
    known = TEXTS[-1]
    assert tok.decode(tok.encode(known)) == known
    # Empty results are proper arrays too.
    assert tok.encode_to_numpy("").shape == (0,)
    ids, offsets = tok.encode_batch_to_numpy([])
    assert ids.size == 0 and offsets.tolist() == [0]


@settings(max_examples=60, deadline=None)
@given(st.lists(st.text(st.characters(codec="utf-8"), max_size=60), max_size=8))
def test_random_texts(trained, texts):
    _, tok, data = trained
    check_all_forms(tok, data, texts)


def test_decode_reads_any_integer_form(trained):
    _, tok, data = trained
    ids = tok.encode(TEXTS[2])
    text = data.decode(ids)
    for form in (tuple(ids), array.array("H", ids), memoryview(array.array("q", ids)),
                 numpy.array(ids, dtype=numpy.int8 if max(ids) < 128 else numpy.int32),
                 numpy.repeat(numpy.array(ids, dtype=numpy.uint64), 2)[::2], range(0),
                 numpy.array(ids, dtype=">u2"), numpy.array(ids, dtype=">i8"),
                 numpy.array(ids, dtype=object)):
        assert tok.decode(form) == (text if len(form) else "")


def test_lookups(trained):
    path, tok, _ = trained
    assert tok.vocab_size == len(tok) == len(velkor.load_from_file(str(path)).vocab())
    assert repr(tok) == f"Tokenizer({str(path)!r}, tokens={len(tok)})"
    # id 0 is the empty token; "oov" is a key of unicode_lookup, not bytes.
    assert tok.id_to_token(0) == b""
    assert tok.token_to_id("oov") is None
    a = tok.token_to_id("a")
    assert tok.id_to_token(a) == b"a" and tok.token_to_id(b"a") == a
    assert tok.unknown_clusters("ab Ω ж\r\nΩ") == {"Ω": 2, "ж": 1}


def test_lowest_id_wins_for_equal_bytes():
    tok = Tokenizer.from_bytes(tokenizer_image({0: b"", 7: b"x", 3: b"x"}, {}, {"oov": 0}))
    assert tok.token_to_id("x") == 3


class Mine(Tokenizer):
    pass


class Slotted(Tokenizer):
    __slots__ = ("lang",)


class Stateful(Tokenizer):
    def __getstate__(self):
        return {"lang": "de"}

    def __setstate__(self, state):
        self.lang = state["lang"]


def test_pickle_copy_and_processes(trained):
    path, tok, data = trained
    for clone in (pickle.loads(pickle.dumps(tok)), copy.copy(tok), copy.deepcopy(tok)):
        assert clone.encode_batch(TEXTS) == tok.encode_batch(TEXTS) and repr(clone) == repr(tok)
    mine = Mine.from_file(path)
    mine.lang = "fr"
    assert type(pickle.loads(pickle.dumps(mine))) is Mine and weakref.ref(mine)() is mine
    assert pickle.loads(pickle.dumps(mine)).lang == copy.copy(mine).lang == "fr"
    # Slots and a subclass's own __getstate__/__setstate__ come along too.
    slotted = Slotted.from_file(path)
    slotted.lang = "fr"
    for one, lang in ((slotted, "fr"), (Stateful.from_file(path), "de")):
        clones = (pickle.loads(pickle.dumps(one)), copy.copy(one), copy.deepcopy(one))
        assert [(type(clone), clone.lang, repr(clone)) for clone in clones] == [(type(one), lang, repr(one))] * 3
    for method in ("spawn", "fork"):
        with multiprocessing.get_context(method).Pool(2) as pool:
            assert pool.map(tok.encode, TEXTS) == [data.encode(text) for text in TEXTS]


def test_save_is_atomic_and_keeps_links(trained, tmp_path):
    _, tok, _ = trained
    target = tmp_path / "model.bin"
    target.write_bytes(b"old")
    link = tmp_path / "link"
    link.symlink_to(target)
    tok.save(link)
    assert link.is_symlink() and Tokenizer.from_file(target).encode(TEXTS[2]) == tok.encode(TEXTS[2])
    assert [p.name for p in tmp_path.iterdir()].count("model.bin") == 1
    with pytest.raises(OSError) as error:
        tok.save(tmp_path / "missing" / "x")
    assert error.value.filename == str(tmp_path / "missing" / "x")


def test_errors(trained, tmp_path, capfd):
    _, tok, _ = trained
    for bad_id in (-1, 65536, 2**70, 65535):
        with pytest.raises(ValueError, match=str(bad_id)):
            tok.decode([0, bad_id])
        with pytest.raises(ValueError, match=str(bad_id)):
            tok.id_to_token(bad_id)
    for array, bad_id in ((numpy.array([65535], numpy.uint16), "65535"), (numpy.array([-1], numpy.int8), "-1")):
        with pytest.raises(ValueError, match=bad_id):
            tok.decode(array)
    for wrong in (b"\x01", bytearray(b"\x01"), "ab", 3, None, [1.5], numpy.zeros(2),
                  numpy.zeros(2, "M8[D]")):
        with pytest.raises(TypeError):
            tok.decode(wrong)
    for call in (lambda: tok.encode(b"x"), lambda: tok.encode_batch("ab"),
                 lambda: tok.encode_batch(b"ab"), lambda: tok.encode_batch(3),
                 lambda: tok.token_to_id(3), lambda: tok.id_to_token("1")):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(ValueError):
        tok.encode_batch(["a"], num_threads=0)
    with pytest.raises(FileNotFoundError) as missing:
        Tokenizer.from_file(tmp_path / "none")
    assert missing.value.filename == str(tmp_path / "none")
    (tmp_path / "bad").write_bytes(b"\x05")
    with pytest.raises(ValueError, match=r"bad: not a valid tokenizer file \(the file ends early\)$"):
        Tokenizer.from_file(tmp_path / "bad")
    for files, size in (("a.txt", None), (["a.txt"], "20"), (["a.txt"], True)):
        with pytest.raises(TypeError):
            velkor_tools.train(tmp_path / "m.tok", files, vocab_size=size)
    assert not (tmp_path / "m.tok").exists()
    with pytest.raises(TypeError, match="from_file"):
        Tokenizer(str(tmp_path / "bad"))
    no_oov = Tokenizer.from_bytes(tokenizer_image({0: b"", 1: b"a"}, {}, {"a": 1}))
    assert no_oov.encode("aa") == [1, 1]
    with pytest.raises(ValueError, match="oov"):
        no_oov.encode_batch(["a", "b"], num_threads=2)
    # More merges than the complete encoding's index holds (merged ids repeat):
    # refused as an exception, with no report on standard error.
    crowded = Tokenizer.from_bytes(tokenizer_image(
        {0: b"", 1: b"a", 2: b"aa"}, (((i >> 8, i & 255), 2) for i in range(65536)), {"a": 1, "oov": 0}))
    with pytest.raises(RuntimeError, match="more merges"):
        crowded.encode("aaa", complete=True)
    # The command's id writer takes one-dimensional unsigned ids only.
    assert ids_text(numpy.array([1, 2], numpy.uint16), numpy.array([0, 1, 2])) == b"1\n2\n"
    for offsets in ([1, 2], [0, 2, 1], [0, 3]):  # not from 0, falling, past the ids
        with pytest.raises(ValueError, match="offsets must rise"):
            ids_text(numpy.array([1, 2], numpy.uint16), numpy.array(offsets))
    for bad in (numpy.array([-1], numpy.int16), numpy.zeros((2, 2), numpy.uint16), numpy.array(7, numpy.uint16)):
        with pytest.raises(TypeError):
            ids_text(bad)
    assert capfd.readouterr().err == ""


def test_complete_encoding_is_passed_through():
    tok = Tokenizer.from_bytes(EXAMPLE_IMAGE)
    assert tok.encode("aaa", complete=True) == velkor_tools.Tokenizer.from_bytes(
        EXAMPLE_IMAGE).encode_batch(["aaa"], complete=True)[0]
    assert velkor_tools.__version__

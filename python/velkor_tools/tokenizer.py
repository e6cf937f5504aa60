"""velkor_tools.Tokenizer: the model of a tokenizer file, shared by any number
of threads, encoding batches on every core.

The work is done by the native module `velkor_tools._native` with the
interpreter lock released; this class adds the Python conveniences (paths,
NumPy arrays, pickling, the thread count's defaults).
"""

from __future__ import annotations

import os
import sys
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

from velkor_tools import _native
from velkor_tools.arguments import whole_number
from velkor_tools.image import read_image
from velkor_tools.plain_errors import plain_rendering

if TYPE_CHECKING:
    import numpy

_THREADS_VARIABLE = "VELKOR_NUM_THREADS"


class ThreadsSettingError(ValueError):
    """$VELKOR_NUM_THREADS is not a whole number of at least 1."""


def _threads(num_threads: int | None) -> int:
    """num_threads, else $VELKOR_NUM_THREADS, else the cores this process may use."""
    if num_threads is None:
        setting = os.environ.get(_THREADS_VARIABLE, "").strip()
        if not setting:
            return len(os.sched_getaffinity(0))
        try:
            number = int(setting)
        except ValueError:
            raise ThreadsSettingError(
                f"{_THREADS_VARIABLE} must be a whole number, not {setting!r}"
            ) from None
        if number < 1:  # the setting's fault, not the caller's (nor the model's)
            raise ThreadsSettingError(f"{_THREADS_VARIABLE} must be at least 1, not {number}")
        return min(number, sys.maxsize)
    # The native side caps the threads it starts; a huge request is no error.
    return min(whole_number("num_threads", num_threads, 1), sys.maxsize)


class Tokenizer(_native.Tokenizer):
    """A tokenizer model, read-only once made: safe to share between threads.

    Made by `Tokenizer.from_file(path)` or `Tokenizer.from_bytes(data)`;
    `encode(text)` gives the same ids as `velkor.load_from_file(path).encode(text)`.
    """

    __slots__ = ("_name", "__weakref__")
    _name: str

    def __new__(cls, data: bytes, *, name: str = "<bytes>") -> Tokenizer:
        if isinstance(data, (str, os.PathLike)):  # a path: the usual slip
            raise TypeError(f"Tokenizer() takes the bytes of a model; for a path use Tokenizer.from_file({data!r})")
        try:
            self = super().__new__(cls, data)
        except ValueError as error:
            # The native message ends in the decoder's rendering of the fault.
            message = str(error)
            rendering = message.removeprefix("not a tokenizer file: ")
            if rendering == message:
                raise
            raise ValueError(f"not a valid tokenizer file ({plain_rendering(rendering)})") from None
        self._name = name
        return self

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Tokenizer:
        """Loads a tokenizer file.

        A missing or unreadable file raises OSError (with its filename); one
        that is not a tokenizer file raises ValueError naming the path.
        """
        name = os.fspath(path)
        if not isinstance(name, str):
            name = os.fsdecode(name)
        with open(name, "rb") as file:
            data = read_image(file)
        try:
            return cls(data, name=name)
        except ValueError as error:
            raise ValueError(f"{name}: {error}") from None

    @classmethod
    def from_bytes(cls, data: bytes) -> Tokenizer:
        """A tokenizer from the bytes of a tokenizer file (as `to_bytes` gives)."""
        return cls(data)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the tokenizer file: a regular file is replaced atomically
        (a failed save leaves the old one whole); a symlink is kept and its
        target replaced."""
        self._save(os.fspath(path))

    def encode_to_numpy(self, text: str, *, complete: bool = False) -> numpy.ndarray:
        """The ids of `encode(text)` as a uint16 array."""
        import numpy  # here, not at import: the command starts faster without it

        return numpy.frombuffer(self._encode_array(text, complete=complete), dtype=numpy.uint16)

    def encode_batch(
        self, texts: Sequence[str], *, num_threads: int | None = None, complete: bool = False
    ) -> list[list[int]]:
        """`encode` of every text, spread over native threads."""
        return self._encode_batch(texts, _threads(num_threads), complete=complete)

    def encode_batch_to_numpy(
        self, texts: Sequence[str], *, num_threads: int | None = None, complete: bool = False
    ) -> tuple[numpy.ndarray, numpy.ndarray]:
        """All texts' ids in one uint16 array, and int64 offsets
        (len(texts) + 1 of them): text i is ids[offsets[i]:offsets[i + 1]]."""
        import numpy

        ids, offsets = self._encode_batch_arrays(texts, _threads(num_threads), complete=complete)
        return numpy.frombuffer(ids, dtype=numpy.uint16), numpy.frombuffer(offsets, dtype=numpy.int64)

    def decode_batch(
        self, batch: Iterable[Any], *, num_threads: int | None = None
    ) -> list[str]:
        """`decode` of every id sequence, spread over native threads."""
        if not isinstance(batch, Sequence):
            batch = list(batch)
        return self._decode_batch(batch, _threads(num_threads))

    def __reduce__(self) -> tuple[Any, ...]:
        # A subclass's attributes come along with its class: its __dict__ and
        # its slots, or what its own __getstate__ gives to its __setstate__.
        state = self.__getstate__()
        if type(self).__getstate__ is object.__getstate__ and isinstance(state, tuple):
            # (__dict__ or None, slots): _restore sets _name already.
            slots = {key: value for key, value in state[1].items() if key != "_name"}
            state = (state[0], slots) if slots else state[0]
        return (_restore, (self.to_bytes(), self._name, type(self)), state)

    def __repr__(self) -> str:
        return f"Tokenizer({self._name!r}, tokens={len(self)})"


def _restore(data: bytes, name: str, cls: type[Tokenizer] | None = None) -> Tokenizer:
    # Pickles made before subclasses were kept have no class: a Tokenizer.
    return (cls or Tokenizer)(data, name=name)

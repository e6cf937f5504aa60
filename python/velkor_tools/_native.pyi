"""The native core of velkor_tools.Tokenizer (use velkor_tools.Tokenizer)."""

from collections.abc import Sequence
from typing import Any, Self, SupportsIndex, final

@final
class IdBuffer:
    """Token ids or offsets owned natively; read via the buffer protocol."""

    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

class Tokenizer:
    """A tokenizer model, read-only once made; see velkor_tools.Tokenizer."""

    def __new__(cls, data: bytes) -> Self: ...
    def encode(self, text: str, *, complete: bool = False) -> list[int]:
        """The token ids of text: velkor's Data.encode ids, or with complete=True the complete encoding's."""
    def decode(self, ids: Any, /) -> str:
        """The text of ids (a list or tuple of ints, or an integer buffer such as a NumPy array)."""
    def id_to_token(self, id: SupportsIndex, /) -> bytes:
        """The bytes token id stands for; ValueError naming an id the model lacks."""
    def token_to_id(self, token: str | bytes, /) -> int | None:
        """The lowest id whose bytes are token's (UTF-8 for a str), or None."""
    def unknown_clusters(self, text: str, /) -> dict[str, int]:
        """The grapheme clusters of text that the model does not know, with their counts."""
    def count_clusters(self, text: str, /) -> int:
        """The number of grapheme clusters of text (each one initial token)."""
    def to_bytes(self) -> bytes:
        """The model as the bytes of a tokenizer file."""
    @property
    def vocab_size(self) -> int:
        """The number of tokens."""
    def __len__(self) -> int: ...
    def _encode_array(self, text: str, *, complete: bool = False) -> IdBuffer: ...
    def _encode_batch(
        self, texts: Sequence[str], num_threads: int, *, complete: bool = False
    ) -> list[list[int]]: ...
    def _encode_batch_arrays(
        self, texts: Sequence[str], num_threads: int, *, complete: bool = False
    ) -> tuple[IdBuffer, IdBuffer]: ...
    def _decode_batch(self, batch: Sequence[Any], num_threads: int) -> list[str]: ...
    def _trimmed(self, size: int, /) -> bytes: ...
    def _save(self, path: str | bytes, /) -> None: ...

def ids_text(ids: Any, offsets: Any = None, /) -> bytes:
    """uint16 ids in decimal, separated by spaces; with offsets, one line per document."""

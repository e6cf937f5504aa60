from collections.abc import Sequence
from typing import Any, SupportsIndex, final

import numpy
from numpy.typing import NDArray

__all__ = ["Data", "load_from_file"]

# Instances come only from load_from_file: calling the class raises TypeError.
@final
class Data:
    # print_logs: True or False, or NumPy's boolean scalar.
    def train(self, train_file: str, print_logs: bool | numpy.bool_, logs_file: str) -> None: ...
    def encode(self, st: str) -> list[int]: ...
    # tokens: any sequence of ints (list, tuple, range, bytes, array.array, ...)
    # or a NumPy integer array, each id 0 to 65535.
    def decode(self, tokens: Sequence[SupportsIndex] | NDArray[numpy.integer[Any]]) -> str: ...
    def vocab(self) -> list[int]: ...

def load_from_file(filename: str) -> Data: ...

"""velkor_tools: the velkor command, the corpus encoder and `Tokenizer`.

`Tokenizer` is the library's API: batches on every core, NumPy arrays,
pickling. The command and the corpus job use it and the `velkor` module.
"""

from importlib.metadata import version as _version

from velkor_tools.tokenizer import Tokenizer
from velkor_tools.training import train

__version__ = _version("velkor")
__all__ = ["Tokenizer", "__version__", "train"]

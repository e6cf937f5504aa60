#!/usr/bin/env bash
# Installs the repaired wheel in dist/ for the Python version given (default
# 3.12) into a fresh virtual environment, with no compiler reachable and
# binary packages only, then uses it once: load, encode, decode, train on a
# small file, and the velkor command.
set -euo pipefail
cd "$(dirname "$0")/.."
version=${1:-3.12}
python=$(tools/find_python.sh "$version")
wheel=$(ls dist/velkor-*-cp${version/./}-cp${version/./}-manylinux*.whl | tail -n 1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/venv"
# Only the venv on PATH: nothing can compile, and nothing needs to.
bare() { env -u CC -u CXX PATH="$work/venv/bin" "$@"; }
bare pip install -q --disable-pip-version-check --only-binary :all: "$wheel"

cd "$work"
# Training prints a line per merge on descriptor 1: keep only the summary.
bare python - >smoke.out <<'PY'
import struct
import velkor

starter = (struct.pack("<QHQ", 1, 0, 0) + struct.pack("<Q", 0)
           + struct.pack("<QQ", 1, 3) + b"oov" + struct.pack("<H", 0))
open("starter", "wb").write(starter)
tok = velkor.load_from_file("starter")
open("train.txt", "w", encoding="utf-8").write("smoke test of the wheel, héllo wörld 👋🏽\n" * 400)
tok.train("train.txt", False, "train.log")
text = "héllo wörld 👋🏽 smoke"
ids = tok.encode(text)
assert tok.decode(ids) == text, ids
assert len(ids) < len(text), "training learned no merges"
assert sorted(velkor.load_from_file("tokenizer").vocab()) == sorted(tok.vocab())
print(f"wheel smoke: {len(tok.vocab())} tokens, {len(text)} characters -> {len(ids)} ids")
PY
tail -n 1 smoke.out
bare python -m velkor_tools --help >/dev/null
bare velkor new cli.model
bare velkor train cli.model train.txt 2>/dev/null
test "$(printf 'héllo wörld' | bare velkor encode cli.model | bare velkor decode cli.model)" = "héllo wörld"
# Whole output first: head closing the pipe early would fail info with EPIPE.
bare velkor info cli.model >info.out
head -n 1 info.out
echo "wheel smoke: $(basename "$wheel") installed and ran without a compiler"

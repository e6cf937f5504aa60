#!/usr/bin/env bash
# The README's quick start, run by `make demo` in build/demo/: each command is
# printed, then run with the `velkor` that `make install` put in .venv.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export PATH="$ROOT/.venv/bin:$PATH"
rm -rf "$ROOT/build/demo" && mkdir -p "$ROOT/build/demo" && cd "$ROOT/build/demo"
cp "$ROOT/examples/sample.txt" sample.txt

step() { printf '\n$ %s\n' "$*"; }

step velkor new model.tok
velkor new model.tok
step velkor train model.tok sample.txt
velkor train model.tok sample.txt
step velkor info model.tok
velkor info model.tok
step velkor show model.tok '"The river town woke slowly."' --ids
velkor show model.tok "The river town woke slowly." --ids
step velkor show model.tok - --html sample.html "< sample.txt"
velkor show model.tok - --html sample.html < sample.txt
step velkor encode model.tok sample.txt -o sample.ids
velkor encode model.tok sample.txt -o sample.ids
step velkor decode model.tok sample.ids -o decoded.txt
velkor decode model.tok sample.ids -o decoded.txt
step cmp sample.txt decoded.txt
cmp sample.txt decoded.txt && echo "decode(encode(sample.txt)) is exactly sample.txt"
printf '\nFiles are in %s; open sample.html in a browser.\n' "$PWD"

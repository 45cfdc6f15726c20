#!/usr/bin/env bash
# Installs what is missing, builds both halves and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Every relative link of the README and docs/ names a file of the repository.
python3 scripts/check_links.py
# The host build comes first: the Windows build packs its test launchers
# with the packer it makes.
cmake --preset host >/dev/null
cmake --build --preset host
cmake --preset windows >/dev/null
cmake --build --preset windows
# Every benchmark measurement once on tiny payloads, so the benchmark cannot rot.
bash bench/run.sh --smoke
bash bench/big.sh --smoke
ctest --preset host
# A few seconds of the packer's reader fuzzer, so that it keeps building
# and its seeds keep passing.
bash fuzz/pack/run.sh 5
ctest --preset windows -j2

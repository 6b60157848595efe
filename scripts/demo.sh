#!/usr/bin/env bash
# Builds the native preset and shows what the module library offers.
set -euo pipefail

cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default
cmake --build --preset default
build/default/bin/vorbel info

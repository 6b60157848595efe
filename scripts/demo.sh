#!/usr/bin/env bash
# Sets up the machine, builds the native preset, shows the module's pins and renders the
# demo phrase (examples/phrase.score, plucked) to a WAV file and its picture under out/.
set -euo pipefail

cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default
cmake --build --preset default --parallel 2
build/default/bin/vorbel info
echo
mkdir -p out
build/default/bin/vorbel render out/demo.wav --preset pluck --score examples/phrase.score \
  --plot out/demo.png
echo
echo "demo: listen to $PWD/out/demo.wav"
echo "demo: look at   $PWD/out/demo.png"

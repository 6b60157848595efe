#!/usr/bin/env bash
# Configures, builds and tests every preset below; exits non-zero if any step fails.
set -uo pipefail

PRESETS=(
  default
  x86
  sanitize
  fuzz
  win32
  win64
)

cd "$(dirname "$0")/.."
bash scripts/setup.sh || { echo "test: setup failed"; exit 1; }

declare -A RESULT
failed=0
for preset in "${PRESETS[@]}"; do
  echo "=== preset $preset ==="
  if ! cmake --preset "$preset"; then
    RESULT[$preset]="configure failed"
  elif ! cmake --build --preset "$preset"; then
    RESULT[$preset]="build failed"
  elif ! ctest --preset "$preset"; then
    RESULT[$preset]="tests failed"
  else
    RESULT[$preset]="passed"
  fi
  [[ ${RESULT[$preset]} == passed ]] || failed=1
done

echo
echo "=== summary ==="
for preset in "${PRESETS[@]}"; do
  printf '  %-10s %s\n' "$preset" "${RESULT[$preset]}"
done
if ((failed)); then
  echo "test: FAILED"
  exit 1
fi
echo "test: all presets passed"

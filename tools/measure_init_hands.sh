#!/usr/bin/env bash
# The README's tables of real hands: the eight manufacturer hands shipped with kova (each made by
# `kova init` from its file in tests/data/robots, tools/ship_hands.py, which a test keeps in step),
# measured on the demo motion by tools/measure_hands.py; then the same hands set up by hand (tests/data/handmade) measured the
# same way, and the closest each finger's tip can come to the thumb's over the joint range
# (tools/pinch_reach.py: the floor under any pinch gap).
#   tools/measure_init_hands.sh           (run with the virtual environment's python)
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-.venv/bin/python}
hands=(leap allegro inspire_dfq inspire_ftp shadow ability unitree_dex3 schunk_svh)
shipped=()
handmade=()
for name in "${hands[@]}"; do
  shipped+=("${name}_right")
  handmade+=("tests/data/handmade/$name")
done
echo "Shipped, made by \`kova init\`:"
echo
"$python" tools/measure_hands.py "${shipped[@]}"
echo
echo "Set up by hand (tests/data/handmade):"
echo
"$python" tools/measure_hands.py "${handmade[@]}"
echo
echo "Closest approach of each fingertip to the thumb tip over the joint range (tools/pinch_reach.py):"
echo
"$python" tools/pinch_reach.py "${handmade[@]/%//dexpilot.yml}"

#!/usr/bin/env bash
# The README's tables of real hands: each of eight manufacturer hands in tests/data/robots
# through `kova init` (into OUT, default build/init-hands), then measured on the demo motion by
# tools/measure_hands.py; then the same hands set up by hand (tests/data/handmade) measured the
# same way, and the closest each finger's tip can come to the thumb's over the joint range
# (tools/pinch_reach.py: the floor under any pinch gap).
#   tools/measure_init_hands.sh [OUT]     (run with the virtual environment's python and kova)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/init-hands}
robots=tests/data/robots
kova=${KOVA:-.venv/bin/kova}
python=${PYTHON:-.venv/bin/python}
hands=(
  "leap leap/robot.urdf"
  "allegro allegro/allegro_hand_description_right.urdf"
  "inspire_dfq inspire/DFQ_right_hand.urdf"
  "inspire_ftp inspire/FTP_right_hand.urdf"
  "shadow shadow_2020/shadowhand_motor.urdf"
  "ability ability/ability_hand_right_large.urdf"
  "unitree_dex3 unitree_dex3/dex3_1_r.urdf"
  "schunk_svh schunk_svh/svh.urdf"
)
mkdir -p "$out"
dirs=()
handmade=()
for hand in "${hands[@]}"; do
  read -r name urdf <<<"$hand"
  # exit 1 means the report holds warnings (guessed tips, missing meshes): still measured
  "$kova" init "$robots/$urdf" --out "$out/$name" --name "$name" >"$out/$name.log" 2>&1 || [ $? -eq 1 ]
  dirs+=("$out/$name")
  handmade+=("tests/data/handmade/$name")
done
echo "Made by \`kova init\`:"
echo
"$python" tools/measure_hands.py "${dirs[@]}"
echo
echo "Set up by hand (tests/data/handmade):"
echo
"$python" tools/measure_hands.py "${handmade[@]}"
echo
echo "Closest approach of each fingertip to the thumb tip over the joint range (tools/pinch_reach.py):"
echo
"$python" tools/pinch_reach.py "${handmade[@]/%//dexpilot.yml}"

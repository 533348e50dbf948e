#!/usr/bin/env bash
# Draws brenvo.ico: a DIP chip with pins on both sides and a pair of arrows,
# in and out of a port. Drawn on a 16-unit grid at 16, 32 and 48 pixels, so
# every edge falls on a whole pixel. Needs ImageMagick; the .ico is kept in
# the repository, so the build does not.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for size in 16 32 48; do
  s=$((size / 16))
  # rect X0 Y0 X1 Y1: the cells from (X0, Y0) up to but not including (X1, Y1).
  rect() { echo "rectangle $(($1 * s)),$(($2 * s)) $(($3 * s - 1)),$(($4 * s - 1))"; }
  draw=(-fill '#b8bcc4')
  for y in 3 5 7 9 11; do
    draw+=(-draw "$(rect 1 $y 4 $((y + 1)))" -draw "$(rect 12 $y 15 $((y + 1)))")
  done
  draw+=(-fill '#24262e' -draw "$(rect 4 2 12 14)")
  draw+=(-fill '#5a5e6a' -draw "$(rect 7 2 9 3)")  # notch: pin 1 at the top
  draw+=(-fill '#ffb020')
  if [ "$size" -eq 16 ]; then
    # Too small for arrows: two bars, out above and in below.
    draw+=(-draw "$(rect 5 5 11 6)" -draw "$(rect 5 9 11 10)")
  else
    # Out: an arrow to the right; in: an arrow to the left.
    draw+=(-draw "$(rect 5 5 9 7)"
           -draw "polygon $((9 * s)),$((4 * s)) $((11 * s)),$((6 * s)) $((9 * s)),$((8 * s))"
           -draw "$(rect 7 10 11 12)"
           -draw "polygon $((7 * s)),$((9 * s)) $((5 * s)),$((11 * s)) $((7 * s)),$((13 * s))")
  fi
  convert -size ${size}x${size} xc:none +antialias "${draw[@]}" "$work/$size.png"
done
convert "$work/16.png" "$work/32.png" "$work/48.png" brenvo.ico

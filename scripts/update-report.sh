#!/usr/bin/env bash
# Puts the rows the last test run wrote (BUILD_DIR/report/*.md) into the
# README's table of what was tried and what held.
# Usage: scripts/update-report.sh BUILD_DIR
set -euo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
report_dir="${1:?usage: update-report.sh BUILD_DIR}/report"
readme="$source_dir/README.md"
compgen -G "$report_dir/*.md" >/dev/null || exit 0

table=$(mktemp)
{
  echo "<!-- report:begin (written by scripts/update-report.sh from the last test run) -->"
  echo "From the $(basename "$(dirname "$report_dir")") suite of the last test run."
  echo
  echo "| what was tried | how much | what held |"
  echo "|---|---|---|"
  cat $(ls "$report_dir"/*.md | sort)
  echo "<!-- report:end -->"
} >"$table"

if grep -q '<!-- report:begin' "$readme"; then
  awk -v table="$table" '
    /<!-- report:begin/ { while ((getline line < table) > 0) print line; skip = 1; next }
    /<!-- report:end -->/ { skip = 0; next }
    !skip { print }
  ' "$readme" >"$readme.new"
  mv "$readme.new" "$readme"
else
  { echo; echo "## What the tests tried and what held"; echo; cat "$table"; } >>"$readme"
fi
rm -f "$table"

#!/usr/bin/env bash
# The table of what the tests tried and what held.
#   update-report.sh TREE
#       gathers the rows the last test run of build tree TREE wrote
#       (TREE/report/*.md) into TREE/report.md and says where it is;
#   update-report.sh --docs [BUILD_DIR]
#       puts the x64 tree's table (BUILD_DIR/x64/report.md, default build/)
#       into docs/building-and-testing.md, between its report markers, when
#       someone asks for it: a test run never does.
set -euo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [ "${1:-}" = --docs ]; then
  table=${2:-$source_dir/build}/x64/report.md
  [ -f "$table" ] || { echo "No report at $table: run scripts/test.sh first" >&2; exit 1; }
  page="$source_dir/docs/building-and-testing.md"
  grep -q '<!-- report:begin' "$page" && grep -q '<!-- report:end -->' "$page" ||
    { echo "$page has no report markers (<!-- report:begin ... --> and <!-- report:end -->)" >&2; exit 1; }
  awk -v table="$table" '
    /<!-- report:begin/ { while ((getline line < table) > 0) print line; skip = 1; next }
    /<!-- report:end -->/ { skip = 0; next }
    !skip { print }
  ' "$page" >"$page.new"
  mv "$page.new" "$page"
  echo "docs/building-and-testing.md now holds the report of $table"
  exit 0
fi

tree=${1:?usage: update-report.sh TREE | --docs [BUILD_DIR]}
compgen -G "$tree/report/*.md" >/dev/null || exit 0
{
  echo "<!-- report:begin (written by scripts/update-report.sh --docs from a test run) -->"
  # When and where it ran, so that a figure copied from it names its machine.
  cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
  wine_version=$(wine --version 2>/dev/null || echo "Wine of unknown version")
  echo "From the $(basename "$tree") suite of the test run of $(date -u '+%Y-%m-%d %H:%M UTC')" \
       "on $(nproc) processors (${cpu:-unknown}), $wine_version; figures vary with the machine's load."
  echo
  echo "| what was tried | how much | what held |"
  echo "|---|---|---|"
  # Rows written by the Windows tests end in CR LF.
  cat $(ls "$tree"/report/*.md | sort) | tr -d '\r'
  echo "<!-- report:end -->"
} >"$tree/report.md"
echo "What the $(basename "$tree") tests tried and what held: $tree/report.md"

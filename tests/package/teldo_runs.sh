# Sourced by the package's set-up and device checks: runs of a package's
# teldo.exe and what they must say.

# FOLDER LOADER ARGUMENTS...: runs FOLDER's teldo.exe with LOADER (a Wine
# loader or the wine function), its standard input the caller's; returns its
# exit code, with its output (both streams, without CRs) in $said. Through a
# file: a driver host that teldo.exe starts inherits its standard handles, so
# a pipe could stay open after teldo.exe has ended.
teldo_in() {
  local folder=$1 loader=$2 code=0 output
  shift 2
  output=$(mktemp)
  (cd "$folder" && "$loader" teldo.exe "$@") >"$output" 2>&1 || code=$?
  said=$(tr -d '\r' <"$output")
  rm -f "$output"
  return $code
}

# WHAT EXPECTED_EXIT TEXT FOLDER LOADER ARGUMENTS...: that run must end with
# EXPECTED_EXIT and say TEXT; otherwise it says so, as WHAT, and exits 1.
expect_teldo() {
  local what=$1 exit_code=$2 text=$3 code=0
  shift 3
  teldo_in "$@" || code=$?
  if [ "$code" != "$exit_code" ] || ! grep -qF -- "$text" <<<"$said"; then
    echo "$what: teldo ${*:3} ended with $code (not $exit_code), saying:" >&2
    echo "$said" >&2
    echo "(expected it to say: $text)" >&2
    exit 1
  fi
}

# Polls COMMAND... until it succeeds, every 0.2 s for at most 30 s times
# TELDO_WAIT_FACTOR; false if it never does. For an outcome that another
# process brings about: a reply written, a service key written or gone.
wait_for() {
  local deadline=$((SECONDS + 30 * ${TELDO_WAIT_FACTOR:-1}))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}

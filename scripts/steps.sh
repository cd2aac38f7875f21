# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the set-up, build and test scripts: each step of theirs says
# which step failed, with the tool's own output left visible, and a step
# that fetches from a package registry is tried once more before it fails.
# The sourcing script sets `script_name` first.

# Runs "$@" as the step described by $1; on failure prints
# "<script>: <step> failed (exit N)" and ends the script with that status.
step() {
  local description="$1" status=0
  shift
  "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "$script_name: $description failed (exit $status)" >&2
    exit "$status"
  fi
}

# The same for a step that reaches the network: a failure is reported and
# the step is tried once more after a few seconds before the script ends.
fetch_step() {
  local description="$1" status=0
  shift
  "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "$script_name: $description failed (exit $status); trying once more" >&2
    sleep "${VESH_RETRY_DELAY:-5}"
    step "$description, tried again," "$@"
  fi
}

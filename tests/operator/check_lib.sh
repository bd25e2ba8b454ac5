# Sourced by the operator checks: one TAP-style result line per check.

# check NAME COMMAND...: one result line; the command's output is the detail.
check() {
  local name=$1 output
  shift
  if output=$("$@" 2>&1); then
    echo "ok - $name"
  else
    echo "not ok - $name: $(printf '%s' "$output" | tail -n 8 | tr '\n' ' ')"
  fi
}

# same_text EXPECTED ACTUAL: fails with both shown when they differ.
same_text() {
  [ "$1" == "$2" ] && return 0
  printf 'expected [%s] got [%s]\n' "$1" "$2"
  return 1
}

# Sourced by the scripts and the tests that wait for something another process does.

# Polls CONDITION (a command) every 0.1 s, at most LIMIT times; false if it never held.
poll() {
  local limit=$1
  shift
  for _ in $(seq "$limit"); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

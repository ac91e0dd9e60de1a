# Sourced by the package tests: check DESCRIPTION COMMAND... runs COMMAND and counts it in
# passed or failed, saying which.
passed=0
failed=0
check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "  ok   $what"
  else
    failed=$((failed + 1))
    echo "  FAIL $what"
  fi
}

# Sourced by the shell tests: check runs a command and counts it as passed,
# or as failed with "FAIL: <description>" on stderr; checks_summary prints the
# counts and succeeds only when nothing failed.
passed=0
failed=0
check() { # description, then a command that must succeed
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $what" >&2
    fi
}
checks_summary() {
    echo "$passed passed, $failed failed"
    ((failed == 0))
}

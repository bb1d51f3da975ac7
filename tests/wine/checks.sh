# Check helpers shared by the Wine tests: each check prints "ok: NAME" or counts a failure,
# so one run reports every broken expectation; checks_finish ends the test with the verdict.
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

check_eq() { # NAME EXPECTED ACTUAL
    if [ "$2" == "$3" ]; then echo "ok: $1"; else fail "$1: expected [$2], got [$3]"; fi
}

has_line() { # NAME FILE LINE
    if grep -qxF -- "$3" "$2"; then echo "ok: $1"; else fail "$1: no line [$3] in $(cat "$2")"; fi
}

lacks_text() { # NAME FILE TEXT
    if grep -qF -- "$3" "$2"; then fail "$1: unexpected [$3]"; else echo "ok: $1"; fi
}

line_number() { grep -nxF -- "$2" "$1" | head -n 1 | cut -d: -f1; }

checks_finish() { # WHAT
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "all $1 checks passed"
}

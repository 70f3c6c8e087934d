#!/bin/sh
# Names every test that the last ctest run in BUILD_DIR skipped, with the
# reason it gave: ctest's --output-on-failure shows the output of failures
# only, so a skip would otherwise pass unexplained.
#
# usage: list-skipped.sh BUILD_DIR
log="$1/Testing/Temporary/LastTest.log"
[ -r "$log" ] || { echo "no test log in $1" >&2; exit 1; }
awk '
    /^[0-9]+\/[0-9]+ Testing: / { test = substr($0, index($0, ": ") + 2); next }
    # An operations script that skips says "SKIP: why" and exits with 77.
    /^SKIP: / { found = found sprintf("  %s: %s\n", test, substr($0, 7)); next }
    # GoogleTest: "file:line: Skipped", the reason, then "[  SKIPPED ] Name (N ms)".
    /: Skipped$/ { reason = ""; in_reason = 1; next }
    in_reason && /^\[  SKIPPED \] / {
        found = found sprintf("  %s: %s\n", $4, reason)
        in_reason = 0
        next
    }
    in_reason { reason = reason (reason == "" ? "" : " ") $0 }
    END {
        if (found == "")
            print "No test was skipped."
        else
            printf "Skipped, and why:\n%s", found
    }
' "$log"

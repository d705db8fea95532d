#!/usr/bin/env bash
# Prints a short account of the tests that failed in the last CTest run of a
# build folder: each test's name and the first assertion that failed in its
# output (with the lines that explain it), or its last lines when no
# assertion is there (a time-out, a crash). Read by scripts/test.sh after a
# failed round, so that the end of its output names what failed.
#
#   bash scripts/failed-tests.sh BUILD-DIR
set -uo pipefail
dir=${1:?usage: failed-tests.sh BUILD-DIR}
log="$dir/Testing/Temporary/LastTest.log"
failed="$dir/Testing/Temporary/LastTestsFailed.log"
[ -s "$failed" ] || exit 0
total=$(wc -l <"$failed")
shown=4
echo "==== $total failed test(s) in $dir; the first failure of each (whole output above and in $log):"
head -n "$shown" "$failed" | while IFS= read -r entry; do
    name=${entry#*:}
    awk -v name="$name" '
        # A test block: "N/M Test: NAME", its output between "Output:" and
        # "<end of output>", then "Test Passed." or "Test Failed.". With
        # repeats a test has several blocks; the first failed one is shown.
        function flush() {
            if (!inside || !failed || done) return
            done = 1
            print "  " name
            if (found != "") { printf "%s", found; return }
            if (count == 0) { print "    (it printed nothing: a time-out or a crash, as CTest'"'"'s list above says)"; return }
            print "    (no failed assertion in its output; its last lines:)"
            for (i = (count > 3 ? count - 3 : 0); i < count; i++) print "    " last[i % 3]
        }
        /^[0-9]+\/[0-9]+ Test: / {
            flush()
            block = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", block)
            inside = (block == name); output = 0; failed = 0; found = ""; more = 0; count = 0
            next
        }
        !inside || done { next }
        /^<end of output>$/ { output = 0; next }
        output {
            if (more > 0) { found = found "    " substr($0, 1, 200) "\n"; more--; }
            else if (found == "" && $0 ~ /(: Failure$|FAIL!|Assertion .* failed|ERROR: (Address|Leak|Thread)Sanitizer|runtime error:|^not ok|^FAIL|[Ff]ailed:|FAILED)/) {
                found = "    " substr($0, 1, 200) "\n"; more = 5
            }
            last[count % 3] = substr($0, 1, 200); count++
            next
        }
        /^Test Failed/ { failed = 1; next }
        /^Output:$/ { output = 1; getline; next }  # skips the dashed line under it
        END { flush() }
    ' "$log"
done
if [ "$total" -gt "$shown" ]; then
    echo "  ... and $((total - shown)) more: $(tail -n +$((shown + 1)) "$failed" | cut -d: -f2- | tr '\n' ' ')"
fi

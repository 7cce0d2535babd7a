#!/bin/bash
# Two builds of the library side by side in one run: each benchmark runs with the "before" build,
# then the "after" one, PASSES times over, so that the machine's load falls on both alike. Prints
# the median of each figure for both and after/before (above 1: slower after).
#
#   bench/compare.sh BEFORE_BUILD AFTER_BUILD [PASSES [BENCH...]]
#
# Each build directory holds libfsutil.so, fsutil.jar and bench/fsutil-bench.jar (configure it
# with -DCMAKE_BUILD_TYPE=Release -DFSUTIL_BENCH=ON, then --target bench).
set -euo pipefail
if [ $# -lt 2 ]; then
    sed -n '6p' "$0" | sed 's/^# *//'
    exit 2
fi
before=$(cd "$1" && pwd)
after=$(cd "$2" && pwd)
passes=${3:-3}
shift $(($# < 3 ? $# : 3))
benches=("$@")
[ ${#benches[@]} -gt 0 ] || benches=("TreeBench 20000 5" "SteerBench 20000 5" "DeleteBench 20000 3" "ParallelBench 20000 5 0")
java=${JAVA:-java}

run() {  # BUILD BENCH ARGS...: the figures the benchmark prints, "label<TAB>value<TAB>unit" a line
    local build=$1 bench=$2
    shift 2
    LC_ALL=C.UTF-8 "$java" -Xms256m -Xmx256m -XX:+AlwaysPreTouch -Djava.library.path="$build" \
        -cp "$build/fsutil.jar:$build/bench/fsutil-bench.jar" "com.orvan.mek.fsutil.bench.$bench" "$@" |
        awk -v b="$bench" 'match($0, /[0-9][0-9.]* (ns\/entry|s)( |$)/) {
            label = substr($0, 1, RSTART - 1); gsub(/^ +| +$/, "", label); gsub(/ +/, " ", label)
            split(substr($0, RSTART, RLENGTH), v, " ")
            if (label != "") print b ": " label "\t" v[1] "\t" v[2] }'
}

results=$(mktemp)
trap 'rm -f "$results"' EXIT
for ((p = 1; p <= passes; p++)); do
    for b in "${benches[@]}"; do
        # shellcheck disable=SC2086  # the benchmark's name and its arguments
        run "$before" $b | sed 's/^/before\t/' >>"$results"
        # shellcheck disable=SC2086
        run "$after" $b | sed 's/^/after\t/' >>"$results"
    done
    echo "pass $p of $passes done" >&2
done

# The median of each figure for both builds, then after/before.
sort -t $'\t' -k2,2 -k1,1 -k3,3g "$results" | awk -F '\t' '
    { key = $2 "\t" $4; n[$1, key]++; v[$1, key, n[$1, key]] = $3; if (!(key in seen)) { seen[key] = 1; order[++k] = key } }
    function median(w, key,   c) { c = n[w, key]; return c % 2 ? v[w, key, (c + 1) / 2] : (v[w, key, c / 2] + v[w, key, c / 2 + 1]) / 2 }
    END {
        printf "%-62s %12s %12s %8s\n", "figure (median)", "before", "after", "a/b"
        for (i = 1; i <= k; i++) {
            split(order[i], f, "\t"); b = median("before", order[i]); a = median("after", order[i])
            printf "%-62s %12.3f %12.3f %8.3f  %s\n", substr(f[1], 1, 62), b, a, (b > 0 ? a / b : 0), f[2]
        }
    }'

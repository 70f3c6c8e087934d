#!/usr/bin/env bash
# What the daemon's linking costs at every fork: builds sockherd with several
# sets of linker flags (outside the source tree, nothing in it changes) and
# measures each one's footprint and its own CPU time and page faults per
# connection, in interleaved rounds, against the minimal forking server.
#
#   bench/link-variants.sh        (after bench/run.sh has built the tools)
#
# Environment: CONNS (per run, default 3000), ROUNDS (3), CONCURRENCY (4),
# BUILD (default build-bench in the repository).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD:-$repo/build-bench}
tools=$build/bench-tools
conns=${CONNS:-3000}
rounds=${ROUNDS:-3}
concurrency=${CONCURRENCY:-4}
variants="as-built no-as-needed static-pie static"
declare -A flags=(
    [as-built]=""
    [no-as-needed]="-Wl,--no-as-needed"
    [static-pie]="-static-pie"
    [static]="-static"
)

work=$(mktemp -d /tmp/sockherd-link.XXXXXX)
started_pids=()
cleanup() {
    local pid
    for pid in "${started_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

[[ -x $tools/loadgen ]] || { echo "build the tools first: bench/run.sh" >&2; exit 1; }

binary_of() {
    if [[ $1 == baseline ]]; then
        echo "$tools/baseline"
    else
        echo "$build/link-$1/sockherd"
    fi
}

for v in $variants; do
    cmake -S "$repo" -B "$build/link-$v" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        "-DCMAKE_EXE_LINKER_FLAGS=${flags[$v]}" >/dev/null
    # Static glibc warns that getaddrinfo needs its shared NSS modules at run time.
    cmake --build "$build/link-$v" --target sockherd -j2 >/dev/null 2>&1
done

# Linking the C++ runtime statically changes nothing when nothing of it is used.
cmake -S "$repo" -B "$build/link-static-libstdc++" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    "-DCMAKE_EXE_LINKER_FLAGS=-static-libstdc++ -static-libgcc" >/dev/null
cmake --build "$build/link-static-libstdc++" --target sockherd -j2 >/dev/null
if cmp -s "$build/link-as-built/sockherd" "$build/link-static-libstdc++/sockherd"; then
    echo "-static-libstdc++ -static-libgcc: the same binary, byte for byte, as the one built as is"
else
    echo "-static-libstdc++ -static-libgcc: a different binary from the one built as is"
fi
echo

declare -A pid_of port_of
for v in baseline $variants; do
    "$(binary_of "$v")" -1 -b 1024 127.0.0.1 0 "$tools/hello" >"$work/$v.port" &
    pid_of[$v]=$!
    started_pids+=("$!")
done
sleep 1
for v in baseline $variants; do
    port_of[$v]=$(head -n1 "$work/$v.port")
done

status_kib() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }

# utime + stime in ticks and minor faults of the process itself.
cpu_and_faults() {
    local stat
    stat=$(<"/proc/$1/stat")
    stat=${stat##*) }
    awk '{ print $12 + $13, $8 }' <<<"$stat"
}

declare -A idle_rss idle_pte vmas needed
for v in baseline $variants; do
    idle_rss[$v]=$(status_kib "${pid_of[$v]}" VmRSS)
    idle_pte[$v]=$(status_kib "${pid_of[$v]}" VmPTE)
    vmas[$v]=$(wc -l <"/proc/${pid_of[$v]}/maps")
    needed[$v]=$(readelf -d "$(binary_of "$v")" | awk '/NEEDED/ { gsub(/[\[\]]/, "", $5); printf "%s ", $5 }')
done

: >"$work/runs"
all=(baseline $variants)
for ((round = 1; round <= rounds; round++)); do
    # A different order each round, so that no variant always follows the same one.
    for ((i = 0; i < ${#all[@]}; i++)); do
        v=${all[$(((i + round) % ${#all[@]}))]}
        read -r ticks0 faults0 < <(cpu_and_faults "${pid_of[$v]}")
        line=$("$tools/loadgen" -p "${port_of[$v]}" -n "$conns" -c "$concurrency" -e 'hello\n')
        read -r ticks1 faults1 < <(cpu_and_faults "${pid_of[$v]}")
        echo "$v $((ticks1 - ticks0)) $((faults1 - faults0)) $line" >>"$work/runs"
        echo "round $round $v: $line" >&2
    done
done

clk=$(getconf CLK_TCK)
echo "| link | libraries needed | VMAs | VmPTE idle | RSS idle | RSS peak | daemon CPU per 1000 | faults per connection | connections/s at c=$concurrency (median) |"
echo "|---|---|---|---|---|---|---|---|---|"
for v in baseline $variants; do
    peak=$(status_kib "${pid_of[$v]}" VmHWM)
    awk -v v="$v" -v clk="$clk" -v conns="$conns" \
        -v lib="${needed[$v]:-none}" -v vmas="${vmas[$v]}" -v pte="${idle_pte[$v]}" -v rss="${idle_rss[$v]}" -v peak="$peak" '
        $1 == v { ticks += $2; faults += $3; n++; split($6, kv, "="); c[n] = kv[2] }
        END {
            for (i = 2; i <= n; i++) for (j = i; j > 1 && c[j - 1] > c[j]; j--) { t = c[j]; c[j] = c[j - 1]; c[j - 1] = t }
            med = (n % 2) ? c[(n + 1) / 2] : (c[n / 2] + c[n / 2 + 1]) / 2
            printf "| %s | %s | %d | %d KiB | %d KiB | %d KiB | %.0f ms | %.2f | %.0f |\n", v == "baseline" ? "minimal server (reference)" : v,
                lib, vmas, pte, rss, peak, ticks * 1000 / clk / (n * conns / 1000), faults / (n * conns), med
        }' "$work/runs"
done

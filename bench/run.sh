#!/usr/bin/env bash
# The whole comparison in one run: sockherd, a minimal forking server and three
# other super-servers side by side, all serving the same static "hello"
# command on 127.0.0.1, in interleaved rounds; then the rows only sockherd has
# (refusals, serving while refused clients are held pending, what -p, -C
# (also under -p), -L, the JSON log, a million access rules, rates and
# penalties never reached and the metrics of -M cost against the same daemon
# without them, a source that floods beside one that does not, and refusals
# against the
# daemon of an earlier revision). Medians of the rounds go to
# docs/benchmark.md and docs/benchmark.png.
#
#   bench/run.sh            (as root when peers or gnuplot must be installed)
#   REFERENCE=<git revision> bench/run.sh
#
# Environment: CONNS (connections per run, default 1500), ROUNDS (3), RULES
# (rules in the -A file of the access rules rows, 1000000),
# REFUSALS (connections per refusal run, 5000), BUILD (build directory,
# default build-bench in the repository), OUT (where the page, the chart and
# the raw results go, default docs), SOCKHERD_LDFLAGS (extra linker flags
# for the daemon, to compare ways of linking it), REFERENCE (a revision whose
# daemon is built in a scratch directory and refuses beside the current one;
# without it those rows are left out), ROWS (some of "served refusal proxy
# cap activated log rules reference pending metrics rate": only those rows, their
# result lines in OUT/benchmark-results-rows.txt, and no page rewritten).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD:-$repo/build-bench}
tools=$build/bench-tools
conns=${CONNS:-1500}
rounds=${ROUNDS:-3}
refusals=${REFUSALS:-5000}
concurrencies="1 4 32 128"
burst_conns=2000
burst_concurrency=512
backlog=1024
sockherd_limit=40          # the daemon's default -c
per_source_limit=1000      # -C for its rows: far above any client count here, so it never refuses
rules_count=${RULES:-1000000}  # rules in the -A file of its rows
reference=${REFERENCE:-}
pending_counts="0 100 1000"
flood_rate=50              # -R of the flood rows; the flooding source offers ten times it
flood_seconds=5
pending_slots=64           # -c for the pending rows: above the load's concurrency
pending_concurrency=32
# The longest single argument the kernel passes is 128 KiB with its zero byte.
pending_text_length=131000
timeout_ms=10000           # a client with no end of file by then counts as hung

work=$(mktemp -d /tmp/sockherd-bench.XXXXXX)
results=$work/results.txt
started_pids=()
gate=""

log() { printf '%s %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# A FIFO opened read-write never blocks, and having a writer lets every
# command blocked on its read end go on.
open_gate() {
    if [[ -n $gate && -p $gate ]]; then
        local fd
        exec {fd}<>"$gate"
        rm -f "$gate"
        exec {fd}>&-
    fi
    gate=""
}

cleanup() {
    open_gate
    local pid
    for pid in "${started_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${started_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

forget_pid() {
    local pid=$1 kept=() p
    for p in "${started_pids[@]}"; do
        [[ $p == "$pid" ]] || kept+=("$p")
    done
    started_pids=("${kept[@]}")
}

stop_pid() {
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
    forget_pid "$1"
}

install_missing() {
    local need=()
    command -v xinetd >/dev/null || need+=(xinetd)
    command -v socat >/dev/null || need+=(socat)
    command -v systemd-socket-activate >/dev/null || need+=(systemd)
    command -v gnuplot >/dev/null || need+=(gnuplot-nox)
    command -v cmake >/dev/null || need+=(cmake)
    command -v g++ >/dev/null || need+=(g++)
    if ((${#need[@]} > 0)); then
        log "installing ${need[*]}"
        apt-get update
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}"
    fi
}

build_everything() {
    log "building sockherd and the bench tools in $build"
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release \
        "-DCMAKE_EXE_LINKER_FLAGS=${SOCKHERD_LDFLAGS:-}" >/dev/null
    cmake --build "$build" -j2 --target sockherd >/dev/null
    cmake -S "$repo/bench" -B "$tools" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$tools" -j2 >/dev/null
}

# The reference daemon from its own sources, exported into the scratch
# directory (removed on exit) and built as the current one is.
build_reference() {
    [[ -n $reference ]] || return 0
    reference_commit=$(git -C "$repo" rev-parse --short --verify "$reference^{commit}")
    log "building sockherd from $reference ($reference_commit) in $work/reference-build"
    mkdir "$work/reference-src"
    git -C "$repo" archive "$reference_commit" | tar -x -C "$work/reference-src"
    cmake -S "$work/reference-src" -B "$work/reference-build" -DCMAKE_BUILD_TYPE=Release \
        "-DCMAKE_EXE_LINKER_FLAGS=${SOCKHERD_LDFLAGS:-}" >/dev/null
    cmake --build "$work/reference-build" -j2 --target sockherd >/dev/null
    reference_bin=$work/reference-build/sockherd
}

# 1000 held clients, a backlog of 1024 and 512 clients in flight need more
# descriptors than a login shell's 1024.
raise_descriptor_limit() {
    local hard
    hard=$(ulimit -Hn)
    if [[ $hard == unlimited || $hard -gt 65536 ]]; then
        hard=65536
    fi
    ulimit -n "$hard"
}

listening_on() {
    [[ -n $(ss -Htln "sport = :$1") ]]
}

free_port() {
    local port tries
    for tries in $(seq 100); do
        port=$((20000 + RANDOM % 10000))
        listening_on "$port" || { echo "$port"; return; }
    done
    log "no free port found"
    exit 1
}

wait_listening() {
    local port=$1 tries
    for tries in $(seq 100); do
        listening_on "$port" && return 0
        sleep 0.05
    done
    log "nothing listens on port $port"
    exit 1
}

# Starts a server that prints its port with -1, its standard error going to
# server_log when that is set; sets server_pid, server_port and started_ms,
# the time from the start to the port line (polled every 2 ms).
start_printing_port() {
    local out=$work/port.$RANDOM tries began ended
    began=$(date +%s%N)
    "$@" >"$out" 2>>"${server_log:-$work/servers.err}" &
    server_pid=$!
    started_pids+=("$server_pid")
    for tries in $(seq 6000); do
        [[ -s $out ]] && break
        sleep 0.002
    done
    ended=$(date +%s%N)
    started_ms=$(((ended - began) / 1000000))
    server_port=$(head -n1 "$out")
    [[ -n $server_port ]] || { log "no port from $1"; exit 1; }
}

# As start_printing_port, with the server's standard error in a file of its own.
start_printing_port_logging() {
    server_log=$1
    shift
    start_printing_port "$@"
    server_log=""
}

# Starts a server on a port chosen here; sets server_pid and server_port.
start_on_port() {
    server_port=$1
    shift
    "$@" 2>>"$work/servers.err" &
    server_pid=$!
    started_pids+=("$server_pid")
    wait_listening "$server_port"
}

write_xinetd_conf() {
    # No throttling and no logging: unlimited instances, a rate limit far
    # above any rate reached here, and no libwrap lookup per connection.
    cat >"$work/xinetd.conf" <<EOF
defaults
{
}
service sockherd_bench
{
	type           = UNLISTED
	socket_type    = stream
	protocol       = tcp
	wait           = no
	user           = root
	bind           = 127.0.0.1
	port           = $1
	server         = $tools/hello
	instances      = UNLIMITED
	per_source     = UNLIMITED
	cps            = 1000000 1
	flags          = REUSE NOLIBWRAP
	log_on_success =
	log_on_failure =
}
EOF
}

declare -A pid_of port_of rss_idle_kib backlog_of
servers="baseline sockherd xinetd systemd-socket-activate socat"

rss_kib() {
    awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"
}

# utime + stime of the process itself, in clock ticks; its children's time
# (the commands) is not in it.
cpu_ticks() {
    local stat
    stat=$(<"/proc/$1/stat")
    stat=${stat##*) }
    awk '{ print $12 + $13 }' <<<"$stat"
}

start_peers() {
    local port
    start_printing_port "$tools/baseline" -1 -b "$backlog" 127.0.0.1 0 "$tools/hello"
    pid_of[baseline]=$server_pid port_of[baseline]=$server_port
    start_printing_port "$build/sockherd" -1 -b "$backlog" -c "$sockherd_limit" 127.0.0.1 0 "$tools/hello"
    pid_of[sockherd]=$server_pid port_of[sockherd]=$server_port
    port=$(free_port)
    write_xinetd_conf "$port"
    start_on_port "$port" xinetd -dontfork -f "$work/xinetd.conf"
    pid_of[xinetd]=$server_pid port_of[xinetd]=$server_port
    port=$(free_port)
    # Its per-connection notices go to the journal or stderr unless quietened.
    start_on_port "$port" env SYSTEMD_LOG_LEVEL=warning \
        systemd-socket-activate -l "127.0.0.1:$port" --accept --inetd "$tools/hello"
    pid_of[systemd-socket-activate]=$server_pid port_of[systemd-socket-activate]=$server_port
    port=$(free_port)
    start_on_port "$port" socat "TCP-LISTEN:$port,bind=127.0.0.1,fork,reuseaddr,backlog=$backlog" \
        "EXEC:$tools/hello"
    pid_of[socat]=$server_pid port_of[socat]=$server_port
    sleep 1
    local name
    for name in $servers; do
        rss_idle_kib[$name]=$(rss_kib "${pid_of[$name]}" VmRSS)
        # The kernel shows a listening socket's backlog as its send queue.
        backlog_of[$name]=$(ss -Htln "sport = :${port_of[$name]}" | awk '{ print $3 }')
    done
}

# One load run against a server process: appends a result line. Arguments
# after the eighth go to the load generator.
measure() {
    local server=$1 row=$2 round=$3 pid=$4 port=$5 total=$6 concurrency=$7 expected=$8
    shift 8
    local before after line
    before=$(cpu_ticks "$pid")
    line=$("$tools/loadgen" -p "$port" -n "$total" -c "$concurrency" -e "$expected" -t "$timeout_ms" "$@")
    after=$(cpu_ticks "$pid")
    echo "server=$server row=$row round=$round $line cpu_ticks=$((after - before))" >>"$results"
    log "round $round $row $server: $line"
}

# Each round visits the servers in a different order, so that no server
# always runs right after the same neighbour.
rotated() {
    local shift_by=$1
    shift
    local list=("$@") n=$# i
    for ((i = 0; i < n; i++)); do
        printf '%s ' "${list[$(((i + shift_by) % n))]}"
    done
}

run_served_rows() {
    local round=$1 concurrency name order
    for concurrency in $concurrencies burst; do
        order=$(rotated "$round" $servers)
        for name in $order; do
            if [[ $concurrency == burst ]]; then
                measure "$name" burst "$round" "${pid_of[$name]}" "${port_of[$name]}" \
                    "$burst_conns" "$burst_concurrency" 'hello\n'
            else
                measure "$name" "c$concurrency" "$round" "${pid_of[$name]}" "${port_of[$name]}" \
                    "$conns" "$concurrency" 'hello\n'
            fi
        done
    done
    local line
    line=$("$tools/forkloop" -n "$conns" -w 2 "$tools/hello" 2>&1)
    echo "server=forkloop row=w2 round=$round $line" >>"$results"
    log "round $round fork loop: $line"
}

start_refusers() {
    start_printing_port "$build/sockherd" -1 -b "$backlog" -c 0 -r 'busy\r\n' 127.0.0.1 0 "$tools/hello"
    pid_of[sockherd-refuse]=$server_pid port_of[sockherd-refuse]=$server_port
    start_printing_port "$tools/baseline" -1 -b "$backlog" -w 'busy\r\n' 127.0.0.1 0
    pid_of[baseline-refuse]=$server_pid port_of[baseline-refuse]=$server_port
    refusers="sockherd-refuse baseline-refuse"
    if [[ -n $reference ]]; then
        start_printing_port "$reference_bin" -1 -b "$backlog" -c 0 -r 'busy\r\n' 127.0.0.1 0 "$tools/hello"
        pid_of[reference-refuse]=$server_pid port_of[reference-refuse]=$server_port
        refusers="$refusers reference-refuse"
    fi
    sleep 0.5
    rss_idle_kib[sockherd-refuse]=$(rss_kib "${pid_of[sockherd-refuse]}" VmRSS)
}

# One row per concurrency level: the servers given after the fifth argument,
# side by side in an order rotated each round. extra_args holds a server's
# own load generator options.
declare -A extra_args
run_side_by_side() {
    local round=$1 row=$2 levels=$3 total=$4 expected=$5
    shift 5
    local concurrency name
    for concurrency in $levels; do
        for name in $(rotated "$round" "$@"); do
            measure "$name" "$row-c$concurrency" "$round" "${pid_of[$name]}" "${port_of[$name]}" \
                "$total" "$concurrency" "$expected" ${extra_args[$name]:-}
        done
    done
}

run_refusal_rows() {
    run_side_by_side "$1" refuse "1 32" "$refusals" 'busy\r\n' $refusers
}

# What -p costs: the same daemon and load with and without a PROXY v2 header
# in front of every client, side by side; and what -C costs under -p, where
# the source is the client the header names.
start_proxy_reader() {
    start_printing_port "$build/sockherd" -1 -p -b "$backlog" -c "$sockherd_limit" 127.0.0.1 0 "$tools/hello"
    pid_of[sockherd-proxy]=$server_pid port_of[sockherd-proxy]=$server_port
    extra_args[sockherd-proxy]=-P
    start_printing_port "$build/sockherd" -1 -p -b "$backlog" -c "$sockherd_limit" -C "$per_source_limit" \
        127.0.0.1 0 "$tools/hello"
    pid_of[sockherd-proxy-cap]=$server_pid port_of[sockherd-proxy-cap]=$server_port
    extra_args[sockherd-proxy-cap]=-P
}

run_proxy_rows() {
    run_side_by_side "$1" proxy "4 32" "$conns" 'hello\n' sockherd sockherd-proxy sockherd-proxy-cap
}

# What -C costs: a lookup in the table of counts per client address for
# every connection, with a limit no client here reaches.
start_per_source_limited() {
    start_printing_port "$build/sockherd" -1 -b "$backlog" -c "$sockherd_limit" -C "$per_source_limit" \
        127.0.0.1 0 "$tools/hello"
    pid_of[sockherd-cap]=$server_pid port_of[sockherd-cap]=$server_port
}

run_per_source_rows() {
    run_side_by_side "$1" cap "4 32" "$conns" 'hello\n' sockherd sockherd-cap
}

# What -L costs: the daemon takes its listening socket from
# systemd-socket-activate, which execs it (so LISTEN_PID is the daemon's
# own), against the same daemon binding its own socket. Without --accept,
# systemd-socket-activate execs only when the first client arrives: one
# client, not counted, wakes it, and the port line then says the daemon runs.
# No -b: the socket listens already, with the backlog its maker chose.
start_activated() {
    local port out=$work/port.activated tries
    port=$(free_port)
    env SYSTEMD_LOG_LEVEL=warning systemd-socket-activate -l "127.0.0.1:$port" \
        "$build/sockherd" -L -1 -c "$sockherd_limit" "$tools/hello" \
        >"$out" 2>>"$work/servers.err" &
    server_pid=$!
    started_pids+=("$server_pid")
    wait_listening "$port"
    "$tools/loadgen" -p "$port" -n 1 -c 1 -e 'hello\n' -t "$timeout_ms" >/dev/null
    for tries in $(seq 100); do
        [[ -s $out ]] && break
        sleep 0.05
    done
    server_port=$(head -n1 "$out")
    [[ $server_port == "$port" ]] || { log "-L printed port '$server_port', the socket was $port"; exit 1; }
    pid_of[sockherd-activated]=$server_pid port_of[sockherd-activated]=$port
    backlog_of[sockherd-activated]=$(ss -Htln "sport = :$port" | awk '{ print $3 }')
    rss_idle_kib[sockherd-activated]=$(rss_kib "$server_pid" VmRSS)
}

# What access rules cost: a daemon with a file of a million rules (half
# IPv4, half IPv6, nested; the clients' own network among them, with two
# variables) against the same daemon without one. A second daemon with the
# same file and -v shows how long a start (to the port line) and a reload
# (SIGHUP to its "reloaded" line) take; the rules' weight is the first's
# RSS over that of the daemon without rules.
start_rules_servers() {
    "$tools/rulegen" -c 127.0.0.1/32 "$rules_count" >"$work/rules"
    start_printing_port "$build/sockherd" -1 -b "$backlog" -c "$sockherd_limit" -A "$work/rules" \
        127.0.0.1 0 "$tools/hello"
    pid_of[sockherd-rules]=$server_pid port_of[sockherd-rules]=$server_port
    start_printing_port_logging "$work/rules.log" "$build/sockherd" -1 -v -A "$work/rules" 127.0.0.1 0 "$tools/hello"
    rules_log_pid=$server_pid
    echo "rules_start round=0 ms=$started_ms" >>"$results"
    sleep 0.5
    echo "rules_rss rules=$rules_count kib=$(rss_kib "${pid_of[sockherd-rules]}" VmRSS)" \
        "plain_kib=$(rss_kib "${pid_of[sockherd]}" VmRSS)" >>"$results"
}

# One reload of the timed daemon: SIGHUP to its "reloaded" line.
measure_reload() {
    local round=$1 before after began ended tries
    before=$(grep -c -- '- reloaded' "$work/rules.log" || true)
    began=$(date +%s%N)
    kill -HUP "$rules_log_pid"
    for tries in $(seq 10000); do
        after=$(grep -c -- '- reloaded' "$work/rules.log" || true)
        ((after > before)) && break
        sleep 0.002
    done
    ended=$(date +%s%N)
    echo "rules_reload round=$round ms=$(((ended - began) / 1000000))" >>"$results"
    log "round $round reload of $rules_count rules: $(((ended - began) / 1000000)) ms"
}

run_rules_rows() {
    run_side_by_side "$1" rules "4 32" "$conns" 'hello\n' sockherd sockherd-rules
    measure_reload "$1"
}

# What the log costs: the same daemon logging each connection as text (-v)
# and as JSON (-J), each to a file of its own, side by side.
start_loggers() {
    start_printing_port_logging "$work/text.log" "$build/sockherd" -1 -v -b "$backlog" -c "$sockherd_limit" \
        127.0.0.1 0 "$tools/hello"
    pid_of[sockherd-text-log]=$server_pid port_of[sockherd-text-log]=$server_port
    start_printing_port_logging "$work/json.log" "$build/sockherd" -1 -J -b "$backlog" -c "$sockherd_limit" \
        127.0.0.1 0 "$tools/hello"
    pid_of[sockherd-json-log]=$server_pid port_of[sockherd-json-log]=$server_port
}

run_log_rows() {
    run_side_by_side "$1" log "4 32" "$conns" 'hello\n' sockherd-text-log sockherd-json-log
}

# Served beside the daemon of the reference revision, neither logging: what
# the changes since that revision cost a plain connection.
start_reference_server() {
    [[ -n $reference ]] || return 0
    start_printing_port "$reference_bin" -1 -b "$backlog" -c "$sockherd_limit" 127.0.0.1 0 "$tools/hello"
    pid_of[reference-served]=$server_pid port_of[reference-served]=$server_port
}

run_reference_rows() {
    [[ -n $reference ]] || return 0
    run_side_by_side "$1" ref "4 32" "$conns" 'hello\n' sockherd reference-served
}

# What -M costs: the same daemon writing its metrics file, which under load
# changes all the time and so is written every 10 s, against it without.
# Run alone with many rounds (ROWS=metrics ROUNDS=41), the daemon is under
# load for a minute, and its writes fall in the runs.
start_metrics_writer() {
    mkdir -p "$work/metrics"
    start_printing_port "$build/sockherd" -1 -b "$backlog" -c "$sockherd_limit" -M "$work/metrics/sockherd.prom" \
        127.0.0.1 0 "$tools/hello"
    pid_of[sockherd-metrics]=$server_pid port_of[sockherd-metrics]=$server_port
}

run_metrics_rows() {
    run_side_by_side "$1" metrics "4 32" "$conns" 'hello\n' sockherd sockherd-metrics
}

run_activation_rows() {
    run_side_by_side "$1" activated "4" "$conns" 'hello\n' sockherd sockherd-activated
}

# What rates and penalties cost a connection that never reaches them:
# -R 1000000 -P 5:30 against the same daemon without them. And a daemon at
# -R 50/50 whose rules hold 127.0.0.3 to no rate, for the flood rows.
start_rated() {
    start_printing_port "$build/sockherd" -1 -b "$backlog" -c "$sockherd_limit" -R 1000000 -P 5:30 \
        127.0.0.1 0 "$tools/hello"
    pid_of[sockherd-rated]=$server_pid port_of[sockherd-rated]=$server_port
    printf '127.0.0.3 allow rate=none\n' >"$work/flood.rules"
    start_printing_port "$build/sockherd" -1 -b "$backlog" -c "$sockherd_limit" -R "$flood_rate/$flood_rate" \
        -A "$work/flood.rules" 127.0.0.1 0 "$tools/hello"
    pid_of[sockherd-flooded]=$server_pid port_of[sockherd-flooded]=$server_port
}

# Under -R 50/50: a source that no rate holds (127.0.0.3) at c=1 for
# flood_seconds alone, then beside a source (127.0.0.2) that offers ten
# times the rate, paced; then that flood alone, for the daemon's CPU.
measure_flood() {
    local round=$1 pid=${pid_of[sockherd-flooded]} port=${port_of[sockherd-flooded]} flood_pid
    local offered=$((flood_rate * 10 * flood_seconds)) pace=$((flood_rate * 10))
    measure sockherd-flooded flood-alone "$round" "$pid" "$port" 100000000 1 'hello\n' -s 127.0.0.3 -d "$flood_seconds"
    "$tools/loadgen" -p "$port" -n "$offered" -c 64 -e 'hello\n' -t "$timeout_ms" -s 127.0.0.2 -R "$pace" \
        >"$work/flood.out" &
    flood_pid=$!
    started_pids+=("$flood_pid")
    measure sockherd-flooded flood-beside "$round" "$pid" "$port" 100000000 1 'hello\n' -s 127.0.0.3 -d "$flood_seconds"
    wait "$flood_pid" || true
    forget_pid "$flood_pid"
    echo "server=flood-source row=flood-beside round=$round $(cat "$work/flood.out") cpu_ticks=0" >>"$results"
    log "round $round flood beside: $(cat "$work/flood.out")"
    measure flood-source flood-only "$round" "$pid" "$port" "$offered" 64 'hello\n' -s 127.0.0.2 -R "$pace"
}

run_rate_rows() {
    run_side_by_side "$1" rated "4 32" "$conns" 'hello\n' sockherd sockherd-rated
    measure_flood "$1"
}

children_of() {
    local list
    list=$(<"/proc/$1/task/$1/children")
    wc -w <<<"$list"
}

wait_for_children() {
    local pid=$1 want=$2 tries
    for tries in $(seq 200); do
        (($(children_of "$pid") >= want)) && return 0
        sleep 0.05
    done
    log "daemon $pid has $(children_of "$pid") children, wanted $want"
    return 1
}

# Starts a holding load generator and waits for its "held" line.
hold_clients() {
    local out=$work/hold.$RANDOM tries
    "$tools/loadgen" -H "$@" >"$out" &
    hold_pid=$!
    started_pids+=("$hold_pid")
    for tries in $(seq 600); do
        [[ -s $out ]] && break
        sleep 0.05
    done
    hold_line=$(cat "$out")
}

# Served connections per second while `pending` refused clients sit in the
# daemon's pending list. Every slot is first held by a command blocked on the
# gate FIFO, so the silent clients that come next are refused; they announce
# a small window and segment size and never read, so a 128 KiB refusal text
# cannot leave the daemon's send buffer and their records stay. Then the gate
# opens, the slots empty, and the load runs against a daemon far from its
# limit with the records still there.
measure_with_pending() {
    local round=$1 pending=$2 text pid port holders silent=""
    text=$(head -c "$pending_text_length" /dev/zero | tr '\0' 'x')
    gate=$work/gate
    mkfifo "$gate"
    start_printing_port "$build/sockherd" -1 -b "$backlog" -c "$pending_slots" -r "$text" \
        127.0.0.1 0 "$tools/hello" "$gate"
    pid=$server_pid port=$server_port
    hold_clients -p "$port" -n "$pending_slots"
    holders=$hold_pid
    wait_for_children "$pid" "$pending_slots"
    if ((pending > 0)); then
        hold_clients -p "$port" -n "$pending" -W -r 4096 -m 536
        silent=$hold_pid
        log "pending $pending: $hold_line"
    fi
    open_gate
    wait_for_children_gone "$pid"
    # Every socket the daemon still holds but the listening one is a record.
    local records
    records=$(($(find "/proc/$pid/fd" -lname 'socket:*' | wc -l) - 1))
    measure sockherd "pending$pending" "$round" "$pid" "$port" "$conns" "$pending_concurrency" 'hello\n'
    sed -i '$ s/$/ records='"$records"'/' "$results"
    stop_pid "$holders"
    [[ -z $silent ]] || stop_pid "$silent"
    stop_pid "$pid"
}

wait_for_children_gone() {
    local tries
    for tries in $(seq 200); do
        (($(children_of "$1") == 0)) && return 0
        sleep 0.05
    done
    log "daemon $1 still has children"
    return 1
}

run_pending_rows() {
    local round=$1 pending
    for pending in $(rotated "$round" $pending_counts); do
        measure_with_pending "$round" "$pending"
    done
}

machine_line() {
    local cpu
    cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
    echo "$(nproc) x ${cpu:-unknown CPU}, $(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
        "Linux $(uname -r), $(. /etc/os-release && echo "$PRETTY_NAME")"
}

all_rows="served refusal proxy cap activated log rules reference pending metrics rate"
wanted_rows=${ROWS:-$all_rows}
wants() { [[ " $wanted_rows " == *" $1 "* ]]; }

# The servers each row needs beyond the peers, which every row compares with.
start_servers() {
    start_peers
    wants refusal && start_refusers
    wants proxy && start_proxy_reader
    wants cap && start_per_source_limited
    wants activated && start_activated
    wants log && start_loggers
    wants reference && start_reference_server
    wants rules && start_rules_servers
    wants metrics && start_metrics_writer
    wants rate && start_rated
    return 0
}

run_round() {
    local round=$1
    wants served && run_served_rows "$round"
    wants refusal && run_refusal_rows "$round"
    wants proxy && run_proxy_rows "$round"
    wants cap && run_per_source_rows "$round"
    wants activated && run_activation_rows "$round"
    wants log && run_log_rows "$round"
    wants rules && run_rules_rows "$round"
    wants reference && run_reference_rows "$round"
    wants pending && run_pending_rows "$round"
    wants metrics && run_metrics_rows "$round"
    wants rate && run_rate_rows "$round"
    return 0
}

main() {
    install_missing
    raise_descriptor_limit
    build_everything
    build_reference
    : >"$results"
    local begin=$SECONDS round name
    start_servers
    for ((round = 1; round <= rounds; round++)); do
        run_round "$round"
    done
    local out=${OUT:-$repo/docs}
    mkdir -p "$out"
    if [[ $wanted_rows != "$all_rows" ]]; then
        echo "rows_meta rows=${wanted_rows// /,} rounds=$rounds conns=$conns" \
            "date=$(date -u +%Y-%m-%d) machine=$(machine_line | tr ' ' '_')" >>"$results"
        cp "$results" "$out/benchmark-results-rows.txt"
        log "done in $SECONDS s: $out/benchmark-results-rows.txt"
        return
    fi
    {
        for name in $servers sockherd-refuse sockherd-activated; do
            echo "rss server=$name idle_kib=${rss_idle_kib[$name]} peak_kib=$(rss_kib "${pid_of[$name]}" VmHWM)" \
                "backlog=${backlog_of[$name]:-1024}"
        done
        # setup: installing what was missing and building, before the first server starts.
        echo "meta clk_tck=$(getconf CLK_TCK) conns=$conns rounds=$rounds refusals=$refusals" \
            "burst=$burst_conns burst_c=$burst_concurrency limit=$sockherd_limit slots=$pending_slots" \
            "pending_c=$pending_concurrency text=$pending_text_length seconds=$((SECONDS - begin))" \
            "setup_seconds=$begin per_source=$per_source_limit" \
            "flood_rate=$flood_rate flood_seconds=$flood_seconds" \
            "reference=${reference_commit:-}" \
            "ldflags=$(tr ' ' ',' <<<"${SOCKHERD_LDFLAGS:-}")"
    } >>"$results"
    cp "$results" "$out/benchmark-results.txt"
    "$repo/bench/report.sh" "$out/benchmark-results.txt" "$out" "$(machine_line)" \
        "$(xinetd -version 2>&1 | awk '{ print $1; exit }')" \
        "$(systemd-socket-activate --version | awk 'NR == 1 { print $2 }')" \
        "$(socat -V | awk '/socat version/ { print $3; exit }')"
    log "done in $SECONDS s ($begin s of it installing and building): $out/benchmark.md, $out/benchmark.png"
}

main "$@"

# Shared by the operations tests; sourced, not run.
#
# Every process a test starts goes through start_bg, which records its PID;
# the EXIT trap ends exactly those PIDs. Every wait has a deadline.

set -u
# Debian puts daemons such as haproxy in /usr/sbin, which an ordinary
# user's PATH lacks.
PATH="$PATH:/usr/local/sbin:/usr/sbin:/sbin"

skip_status=77
scratch=$(mktemp -d "${TMPDIR:-/tmp}/sockherd-ops.XXXXXX")
started_pids=""
failures=0
checks=0

cleanup() {
    for pid in $started_pids; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in $started_pids; do
        wait "$pid" 2>/dev/null
    done
    rm -rf "$scratch"
}
trap cleanup EXIT
# A TERM from timeout(1) or ctest must still run the EXIT trap.
trap 'exit 124' TERM INT HUP

skip() {
    echo "SKIP: $*"
    exit "$skip_status"
}

need_tool() {
    command -v "$1" > /dev/null 2>&1 || skip "$1 is not installed (Debian package: $2)"
}

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# check DESCRIPTION COMMAND...: runs COMMAND, counts a failure if it fails
# and returns 1 then, so a check that later ones depend on can end the test.
check() {
    local what=$1
    shift
    checks=$((checks + 1))
    if "$@"; then
        echo "ok: $what"
    else
        fail "$what"
        return 1
    fi
}

finish() {
    echo "$((checks - failures)) passed, $failures failed"
    [ "$failures" -eq 0 ]
}

# show_log FILE: a program's standard error for a failure message: each run
# of the same line once, with its count, and no more than 40 lines of that.
show_log() {
    uniq -c "$1" | head -n 40
}

# start_bg NAME COMMAND...: starts COMMAND in the background with its
# standard output on the FIFO $scratch/NAME.out (open for reading on the
# descriptor whose number lands in ${NAME}_out) and its standard error in
# $scratch/NAME.err. Sets ${NAME}_pid.
start_bg() {
    local name=$1
    shift
    mkfifo "$scratch/$name.out"
    "$@" > "$scratch/$name.out" 2> "$scratch/$name.err" &
    local pid=$!
    started_pids="$started_pids $pid"
    local fd
    exec {fd}< "$scratch/$name.out"
    printf -v "${name}_pid" '%s' "$pid"
    printf -v "${name}_out" '%s' "$fd"
}

# start_daemon NAME ARGS...: starts "$sockherd -1 ARGS..." with the extra
# environment entries of the array daemon_env, and waits for its port line,
# which it prints only once the socket listens. Sets ${NAME}_pid (the
# daemon's own PID: env execs it) and ${NAME}_port; returns 1 if no port
# line came.
daemon_env=()
start_daemon() {
    local name=$1
    shift
    start_bg "$name" env "${daemon_env[@]}" "$sockherd" -1 "$@"
    local fd_var="${name}_out" line=""
    if ! IFS= read -r -t 20 line <&"${!fd_var}" || ! [[ $line =~ ^[0-9]+$ ]]; then
        echo "daemon $name gave no port line; its standard error:"
        show_log "$scratch/$name.err"
        return 1
    fi
    printf -v "${name}_port" '%s' "$line"
}

# stop_pid PID: ends one process this test started with SIGTERM, and waits
# for it; its exit status goes to stopped_status.
stop_pid() {
    kill -TERM "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    stopped_status=$?
    started_pids=$(printf '%s\n' $started_pids | grep -v -x -F -- "$1" | tr '\n' ' ')
    return 0
}

# wait_for_text FILE TEXT [COUNT [SECONDS]]: waits until FILE holds TEXT at
# least COUNT times (a fixed string).
wait_for_text() {
    local file=$1 text=$2 count=${3:-1} seconds=${4:-20}
    local deadline=$((SECONDS + seconds))
    while [ "$SECONDS" -lt "$deadline" ]; do
        [ "$(grep -c -F -- "$text" "$file" 2>/dev/null)" -ge "$count" ] && return 0
        sleep 0.1
    done
    echo "timed out waiting for $count x '$text' in $file:"
    show_log "$file"
    return 1
}

# tcp_exchange PORT INPUT [SECONDS]: connects to 127.0.0.1:PORT, sends INPUT
# (printf %b escapes allowed), and prints everything received until the
# server closes.
tcp_exchange() {
    timeout "${3:-10}" bash -c '
        exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
        printf "%b" "$2" >&3
        cat <&3' tcp_exchange "$1" "$2"
}

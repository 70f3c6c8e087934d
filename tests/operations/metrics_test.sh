#!/bin/bash
# -M with node_exporter's textfile collector alone, on a loopback port: two
# daemons in one directory told apart by listen; scrapes during a burst of
# writes; an idle file left alone; a change written 10 s after the last
# write, not sooner; a failed write told once; a drain's and SIGTERM's last.
#
# usage: metrics_test.sh SOCKHERD
. "$(dirname "$0")/lib.sh"

sockherd=$(realpath "$1")
need_tool curl curl
need_tool prometheus-node-exporter prometheus-node-exporter

dir=$scratch/textfile
mkdir "$dir"
umask 077  # a service's umask for its commands must not hide the file from node_exporter
start_daemon idle -G 5 -M "$dir/idle.prom" 127.0.0.1 0 echo hi || exit 1
umask 022
idle_since=$SECONDS
wait_for_text "$dir/idle.prom" sockherd_start_time_seconds || exit 1  # written once the port line is out
idle_written=$(stat -c '%i %y' "$dir/idle.prom")  # each write renames a new file over it
check "the file is readable by all, whatever the umask" test "$(stat -c %a "$dir/idle.prom")" = 644
start_daemon busy -6 -M "$dir/busy.prom" ::1 0 echo hi || exit 1
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
start_bg exporter prometheus-node-exporter --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$dir"

idle="sockherd_connections_accepted_total{listen=\"127.0.0.1:$idle_port\"}"
busy="listen=\"[::1]:$busy_port\""
serve() { [ "$(timeout 5 bash -c 'exec 3<> "/dev/tcp/$1/$2" && cat <&3' serve "$@")" = hi ] || fail "unserved: $*"; }
seen() {  # a scrape shows both daemons, and node_exporter read every file whole
    curl -fsS --noproxy '*' --max-time 10 "http://127.0.0.1:$port/metrics" > "$scratch/scrape" &&
        [ "$(grep -c -x -F -e "$idle 0" -e "sockherd_connections_accepted_total{$busy} 3" \
            -e "sockherd_command_duration_seconds_bucket{$busy,le=\"1\"} 3" -e "node_textfile_scrape_error 0" \
            "$scratch/scrape")" -eq 4 ]
}
written_after() {  # NAME COMMAND...: COMMAND, then NAME.prom replaced within 20 s
    local file=$dir/$1.prom before i
    before=$(stat -c '%i %y' "$file")
    "${@:2}"
    for i in $(seq 400); do [ "$(stat -c '%i %y' "$file")" != "$before" ] && return 0; sleep 0.05; done
    return 1
}
ended() { [ "$stopped_status" -eq "$1" ] && grep -q -x -F "$2" "$dir/$3.prom"; }  # STATUS LINE NAME

# Three commands, each quicker than a second: the clock is read at each spawn.
for i in 1 2 3; do serve ::1 "$busy_port"; done
kill -USR1 "$busy_pid"
for i in $(seq 100); do seen && break; sleep 0.2; done
check "node_exporter serves both daemons, told apart by listen, the histogram too" seen

# SIGUSR1 as fast as bash sends it (until the flag file goes, or the daemon).
touch "$scratch/bursting"
(for i in $(seq 200000); do [ -e "$scratch/bursting" ] && kill -USR1 "$busy_pid" || exit 0; done) &
whole=0
for i in $(seq 100); do seen && whole=$((whole + 1)); done
rm "$scratch/bursting"
wait $!
check "100 scrapes during a burst of writes each get both files whole" test "$whole" -eq 100

signalled=$SECONDS
check "a SIGUSR1 after the burst is written" written_after busy kill -USR1 "$busy_pid"
check "a change is written within 20 s" written_after busy serve ::1 "$busy_port"
check "and not sooner than 10 s after the last write" test $((SECONDS - signalled)) -ge 10

# FILE.new a directory: every write fails. A client accepted after a signal
# is served in the pass that wrote or a later one.
mkdir "$dir/busy.prom.new"
for i in 1 2; do kill -USR1 "$busy_pid"; serve ::1 "$busy_port"; done
check "a failed write is told once, however often it fails" \
    test "$(grep -c -x -F "unable to write $dir/busy.prom: Is a directory" "$scratch/busy.err")" -eq 1
rmdir "$dir/busy.prom.new"

while [ $((SECONDS - idle_since)) -lt 15 ]; do sleep 0.2; done
check "an idle daemon left its file alone for 15 s" test "$(stat -c '%i %y' "$dir/idle.prom")" = "$idle_written"

# The way out, with a client served within 10 s of the last write: the end
# of a drain (status 0), SIGTERM without -G (still ended by the signal).
check "SIGUSR1 writes at once, also without a log" written_after idle kill -USR1 "$idle_pid"
serve 127.0.0.1 "$idle_port"
stop_pid "$idle_pid"
check "a drain ends with status 0 after a last write" ended 0 "$idle 1" idle
serve ::1 "$busy_port"
stop_pid "$busy_pid"
check "SIGTERM ends the daemon by the signal after a last write" \
    ended 143 "sockherd_connections_accepted_total{$busy} 7" busy
finish

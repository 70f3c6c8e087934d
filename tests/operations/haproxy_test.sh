#!/bin/bash
# A fleet on loopback: the shipped examples/haproxy.cfg in front of two
# sockherd instances serving whoami.sh. Clients must reach both instances,
# still be served when one instance is stopped, and reach both again once it
# is back.
#
# usage: haproxy_test.sh SOCKHERD EXAMPLES_DIR
. "$(dirname "$0")/lib.sh"

sockherd=$(realpath "$1")
examples=$(realpath "$2")
need_tool haproxy haproxy
need_tool curl curl
# The configuration drops root the way Debian's own does (chroot, user).
[ "$(id -u)" -eq 0 ] || skip "examples/haproxy.cfg changes user and chroots, which needs root"

config="$examples/haproxy.cfg"

# free_port NAME: a loopback port nothing listens on, found by letting the
# system pick one for a short-lived daemon. Sets ${NAME}_port.
free_port() {
    start_daemon "$1" 127.0.0.1 0 true || return 1
    local pid_var="${1}_pid"
    stop_pid "${!pid_var}"
}

# instance_status SERVER: UP, DOWN, ... as HAProxy's status page has it.
instance_status() {
    curl -sS --noproxy '*' --max-time 5 "http://127.0.0.1:$stats_port/;csv" 2> /dev/null |
        awk -F, -v server="$1" '$1 == "sockherd_instances" && $2 == server { print $18 }'
}

wait_for_status() {  # SERVER STATUS-PREFIX
    local deadline=$((SECONDS + 30)) status=""
    while [ "$SECONDS" -lt "$deadline" ]; do
        status=$(instance_status "$1")
        case "$status" in "$2"*) return 0 ;; esac
        kill -0 "$proxy_pid" 2> /dev/null || break
        sleep 0.2
    done
    echo "$1 is '$status', not $2; HAProxy said:"
    cat "$scratch/proxy$attempt.err"
    return 1
}

# clients N: N clients, one after the other, through HAProxy; prints each
# answer's TCPLOCALPORT, that is the instance that served it, or "none".
clients() {
    local i answer
    for ((i = 0; i < $1; i++)); do
        answer=$(curl -sS --noproxy '*' --max-time 10 "telnet://127.0.0.1:$front_port" < /dev/null)
        if grep -q -x 'PROTO=TCP' <<< "$answer" && grep -q -x 'TCPREMOTEIP=127.0.0.1' <<< "$answer"; then
            sed -n 's/^TCPLOCALPORT=//p' <<< "$answer"
        else
            echo none
        fi
    done
}

served_by_both() {  # N
    local served
    served=$(clients "$1" | sort | uniq -c)
    echo "$served"
    grep -q " $a_port\$" <<< "$served" && grep -q " $b_port\$" <<< "$served" \
        && ! grep -q ' none$' <<< "$served"
}

served_by_b_only() {  # N
    local served
    served=$(clients "$1" | sort | uniq -c)
    echo "$served"
    [ "$served" = "$(printf '%7d %s' "$1" "$b_port")" ]
}

start_daemon a 127.0.0.1 0 "$examples/whoami.sh" || { fail "instance a did not start"; finish; exit; }
start_daemon b 127.0.0.1 0 "$examples/whoami.sh" || { fail "instance b did not start"; finish; exit; }

# Another process may take a port between our choosing it and HAProxy
# binding it: choose again then.
for attempt in 1 2 3; do
    free_port "front$attempt" && free_port "stats$attempt" || break
    front_var="front${attempt}_port" stats_var="stats${attempt}_port"
    front_port=${!front_var} stats_port=${!stats_var}
    proxy_env=(SOCKHERD_FRONTEND="127.0.0.1:$front_port"
               SOCKHERD_STATS="127.0.0.1:$stats_port"
               SOCKHERD_SERVER1="127.0.0.1:$a_port"
               SOCKHERD_SERVER2="127.0.0.1:$b_port")
    if [ "$attempt" = 1 ]; then
        check "the shipped configuration is valid" \
            env "${proxy_env[@]}" haproxy -c -q -f "$config"
    fi
    start_bg "proxy$attempt" env "${proxy_env[@]}" haproxy -db -f "$config"
    proxy_pid_var="proxy${attempt}_pid"
    proxy_pid=${!proxy_pid_var}
    wait_for_status sockherd1 UP > /dev/null && break
    grep -q -i 'bind' "$scratch/proxy$attempt.err" || break
    stop_pid "$proxy_pid"
done

check "HAProxy is up with both instances UP" wait_for_status sockherd1 UP
check "... sockherd2 UP too" wait_for_status sockherd2 UP

check "clients reach both instances" served_by_both 8

stop_pid "$a_pid"
check "with instance a stopped, every client is still served, by b" served_by_b_only 6
check "the health check takes a out" wait_for_status sockherd1 DOWN
check "with a out, every client goes to b" served_by_b_only 6

# A restart on the same port, as after an upgrade.
start_daemon a2 127.0.0.1 "$a_port" "$examples/whoami.sh" || fail "instance a did not restart"
check "the health check brings a back" wait_for_status sockherd1 UP
check "clients reach both instances again" served_by_both 8

finish

#!/bin/bash
# A fleet on loopback: the shipped examples/haproxy.cfg in front of two
# sockherd -p instances. Clients must reach both instances, still be served
# when one instance is stopped, and reach both again once it is back. Through
# HAProxy's send-proxy-v2 (with and without a CRC32C) and send-proxy alike,
# over IPv4 and IPv6, the command must see each client as the client sees
# itself and bytes must pass unchanged; HAProxy's health checks must keep the
# instances UP without a single "bad proxy header".
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
curl_opts=(-sS --noproxy '*' --max-time 10)
if grep -q '^0\{31\}1 ' /proc/net/if_inet6 2> /dev/null; then
    ipv6=yes
else
    ipv6=no
    echo "note: no IPv6 loopback address here; the IPv6 clients were not run"
fi

# What every instance serves: its name, then for a client whose first line
# is "sum" the checksum of the 256 KiB that follow, for any other whoami.sh.
served=(sh -c 'echo "instance=$0"
    IFS= read -r request
    case $request in
    sum) head -c 262144 | sha256sum ;;
    *) exec "$1" ;;
    esac')

# free_port NAME: a loopback port nothing listens on, found by letting the
# system pick one for a short-lived daemon. Sets ${NAME}_port.
free_port() {
    start_daemon "$1" 127.0.0.1 0 true || return 1
    local pid_var="${1}_pid"
    stop_pid "${!pid_var}"
}

# instance_status SERVER: UP, DOWN, ... as HAProxy's status page has it,
# then the outcome of the last health check: "UP L4OK" once one has
# passed.
instance_status() {
    curl "${curl_opts[@]}" --max-time 5 "http://127.0.0.1:$stats_port/;csv" 2> /dev/null |
        awk -F, -v server="$1" '$1 == "sockherd_instances" && $2 == server { print $18, $37 }'
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
    show_log "$proxy_err"
    return 1
}

proxy_pid="" proxy_err=/dev/null
# start_proxy NAME CONFIG: HAProxy with CONFIG in front of instances a and b,
# its frontend on 127.0.0.1 (and ::1) port $front_port. Another process may
# take a port between our choosing it and HAProxy binding it: choose again
# then. Sets proxy_pid and proxy_err; returns 1 unless sockherd1 comes UP.
start_proxy() {
    local name=$1 config=$2 attempt
    for attempt in 1 2 3; do
        free_port "${name}front$attempt" && free_port "${name}stats$attempt" || return 1
        local front_var="${name}front${attempt}_port" stats_var="${name}stats${attempt}_port"
        front_port=${!front_var} stats_port=${!stats_var}
        local frontend="127.0.0.1:$front_port"
        [ "$ipv6" = no ] || frontend="$frontend,[::1]:$front_port"
        local proxy_env=(SOCKHERD_FRONTEND="$frontend"
                         SOCKHERD_STATS="127.0.0.1:$stats_port"
                         SOCKHERD_SERVER1="127.0.0.1:$a_port"
                         SOCKHERD_SERVER2="127.0.0.1:$b_port"
                         SOCKHERD_SERVER3="127.0.0.1:${c_port-7003}")
        env "${proxy_env[@]}" haproxy -c -q -f "$config" || { echo "$config is not valid"; return 1; }
        start_bg "${name}proxy$attempt" env "${proxy_env[@]}" haproxy -db -f "$config"
        local pid_var="${name}proxy${attempt}_pid"
        proxy_pid=${!pid_var} proxy_err="$scratch/${name}proxy$attempt.err"
        wait_for_status sockherd1 UP > /dev/null && return 0
        grep -q -i 'bind' "$proxy_err" || break
        stop_pid "$proxy_pid"
    done
    show_log "$proxy_err"
    return 1
}

# clients N: N clients, one after the other, through HAProxy, each from an
# address of its own (127.0.0.2 on), since HAProxy picks the instance by
# the client's address; prints the instance that served each, or "none".
clients() {
    local i answer from
    for ((i = 0; i < $1; i++)); do
        from=127.0.0.$((i + 2))
        answer=$(curl "${curl_opts[@]}" --interface "$from" "telnet://127.0.0.1:$front_port" <<< who)
        if grep -q -x 'PROTO=TCP' <<< "$answer" && grep -q -x "TCPREMOTEIP=$from" <<< "$answer"; then
            sed -n 's/^instance=//p' <<< "$answer"
        else
            echo none
        fi
    done
}

served_by_both() {  # N
    local served
    served=$(clients "$1" | sort | uniq -c)
    echo "$served"
    grep -q ' a$' <<< "$served" && grep -q ' b$' <<< "$served" && ! grep -q ' none$' <<< "$served"
}

served_by_b_only() {  # N
    local served
    served=$(clients "$1" | sort | uniq -c)
    echo "$served"
    [ "$served" = "$(printf '%7d b' "$1")" ]
}

# seen_as_itself HOST PROTO: curl, connected to HOST, is told its own address
# and port, the address it reached, and HAProxy's as the proxy's.
seen_as_itself() {
    local got client expected
    got=$(curl "${curl_opts[@]}" -w 'client=%{local_ip} %{local_port}\n' "telnet://$1:$front_port" <<< who) ||
        return 1
    client=$(sed -n 's/^client=//p' <<< "$got")
    expected=$(printf '%s\n' "PROTO=$2" "TCPLOCALIP=${1//[][]/}" "TCPLOCALPORT=$front_port" \
        "TCPREMOTEIP=${client% *}" "TCPREMOTEPORT=${client#* }" \
        "TCPPROXYIP=127.0.0.1" "TCPPROXYPORT=(a port)" "client=$client")
    got=$(sed -E '/^instance=[ab]$/d; s/^(TCPPROXYPORT=)[1-9][0-9]*$/\1(a port)/' <<< "$got")
    [ "$got" = "$expected" ] || { printf 'expected:\n%s\ngot:\n%s\n' "$expected" "$got"; return 1; }
}

# Every byte value, then random bytes: 256 KiB in all.
for i in $(seq 0 255); do printf "\\$(printf %03o "$i")"; done > "$scratch/payload"
head -c $((262144 - 256)) /dev/urandom >> "$scratch/payload"
payload_sum="$(sha256sum < "$scratch/payload")"

payload_intact() {  # HOST
    local got
    got=$(timeout 20 bash -c 'exec 3<>"/dev/tcp/$1/$2" || exit 1
        { echo sum; cat "$3"; } >&3
        cat <&3' payload_intact "$1" "$front_port" "$scratch/payload") || return 1
    [ "$(sed -n 2p <<< "$got")" = "$payload_sum" ] || { printf 'got:\n%s\n' "$got"; return 1; }
}

# clients_seen_as_themselves VERSION: the end-to-end checks through the
# running HAProxy.
clients_seen_as_themselves() {
    check "$1, IPv4: the command sees the client as it sees itself" seen_as_itself 127.0.0.1 TCP
    check "$1, IPv4: 256 KiB after the header reach the command intact" payload_intact 127.0.0.1
    [ "$ipv6" = yes ] || return 0
    check "$1, IPv6: the command sees the client as it sees itself" seen_as_itself '[::1]' TCP6
    check "$1, IPv6: 256 KiB after the header reach the command intact" payload_intact ::1
}

start_daemon a -p -v 127.0.0.1 0 "${served[@]}" a "$examples/whoami.sh" ||
    { fail "instance a did not start"; finish; exit; }
start_daemon b -p -v 127.0.0.1 0 "${served[@]}" b "$examples/whoami.sh" ||
    { fail "instance b did not start"; finish; exit; }

check "HAProxy with the shipped configuration is up" start_proxy v2 "$config"
check "... with both instances UP" wait_for_status sockherd1 UP
check "... sockherd2 UP too" wait_for_status sockherd2 UP

clients_seen_as_themselves send-proxy-v2
check "clients reach both instances" served_by_both 16

stop_pid "$a_pid"
check "with instance a stopped, every client is still served, by b" served_by_b_only 6
check "the health check takes a out" wait_for_status sockherd1 DOWN
check "with a out, every client goes to b" served_by_b_only 6

# A restart on the same port, as after an upgrade.
start_daemon a2 -p -v 127.0.0.1 "$a_port" "${served[@]}" a "$examples/whoami.sh" ||
    fail "instance a did not restart"
check "the health check brings a back" wait_for_status sockherd1 UP
check "clients reach both instances again" served_by_both 16
stop_pid "$proxy_pid"

# The same fleet with version 1 headers: the one word changed.
sed 's/ send-proxy-v2 / send-proxy /' "$config" > "$scratch/send-proxy.cfg"
check "the version 1 variant differs in send-proxy only" \
    bash -c '[ "$(diff "$1" "$2" | grep -c "^[<>]")" -eq 2 ]' _ "$config" "$scratch/send-proxy.cfg"
check "HAProxy with send-proxy is up" start_proxy v1 "$scratch/send-proxy.cfg"
clients_seen_as_themselves send-proxy
check "its health checks keep sockherd1 UP" wait_for_status sockherd1 "UP L4OK"
check "... and sockherd2" wait_for_status sockherd2 "UP L4OK"
stop_pid "$proxy_pid"

# Version 2 headers that carry a CRC32C, which the instances verify: a
# checksum computed other than HAProxy computes it would turn every client
# away as a bad header.
sed 's/ send-proxy-v2 / send-proxy-v2 proxy-v2-options crc32c /' "$config" > "$scratch/crc32c.cfg"
check "the CRC32C variant differs in that option only" \
    bash -c '[ "$(diff "$1" "$2" | grep -c "^[<>]")" -eq 2 ]' _ "$config" "$scratch/crc32c.cfg"
check "HAProxy with send-proxy-v2 and crc32c is up" start_proxy crc "$scratch/crc32c.cfg"
clients_seen_as_themselves "send-proxy-v2 with crc32c"
check "its health checks keep sockherd1 UP" wait_for_status sockherd1 "UP L4OK"
check "... and sockherd2" wait_for_status sockherd2 "UP L4OK"
stop_pid "$proxy_pid"

# A child logs a bad header before it ends, so once every child an instance
# started has been collected its log is complete.
children_all_collected() {  # LOG
    local deadline=$((SECONDS + 20))
    while [ "$(grep -c ' connected from ' "$1")" -ne "$(grep -c ' closed (' "$1")" ]; do
        [ "$SECONDS" -lt "$deadline" ] || { echo "children still running:"; cat "$1"; return 1; }
        sleep 0.1
    done
}
# Rates across a fleet: three instances at -R 5/5 behind the shipped
# balancing by source, and one client sending 50 a second, ten times its
# rate, for 5 s. Whichever instance takes it, it is served at most what one
# instance would give it, 5 x 5 + 5 (its burst), plus one for the moment its
# first client came; spread by connection instead, it would get three times
# that. Its source is 127.0.0.9: HAProxy's health checks come from 127.0.0.1
# and count against a rate of their own.
flood_served_at_one_rate() {
    local served refused
    served=$(timeout 60 python3 - "$front_port" << 'EOF'
import socket, sys, time
served, start = 0, time.monotonic()
for i in range(250):
    time.sleep(max(0.0, start + i * 0.02 - time.monotonic()))
    with socket.socket() as client:
        client.bind(("127.0.0.9", 0))
        client.connect(("127.0.0.1", int(sys.argv[1])))
        client.sendall(b"who\n")
        reply = b""
        while True:
            more = client.recv(4096)
            if not more:
                break
            reply += more
        served += b"instance=" in reply
print(served)
EOF
    ) || return 1
    refused=$(cat "$scratch"/r[abc].err | grep -c -F -- '- refused from 127.0.0.9 port ' || true)
    echo "served $served, refused $refused of 250"
    [ "$served" -le 31 ] && [ "$served" -ge 20 ] && [ $((served + refused)) -eq 250 ]
}
a_port_was=$a_port b_port_was=$b_port
for name in ra rb rc; do
    start_daemon "$name" -p -v -R 5/5 127.0.0.1 0 "${served[@]}" "$name" "$examples/whoami.sh" ||
        { fail "instance $name did not start"; finish; exit; }
done
a_port=$ra_port b_port=$rb_port c_port=$rc_port
sed '/^    server sockherd2 /a\    server sockherd3 "${SOCKHERD_SERVER3-127.0.0.1:7003}" maxconn 40' "$config" > "$scratch/three.cfg"
check "HAProxy in front of three instances at -R 5/5 is up" start_proxy three "$scratch/three.cfg"
check "... with sockherd2 and sockherd3 UP too" wait_for_status sockherd2 UP && wait_for_status sockherd3 UP
check "one client at ten times its rate for 5 s gets one instance's rate, not three" flood_served_at_one_rate
stop_pid "$proxy_pid"
a_port=$a_port_was b_port=$b_port_was

check "instance b's children have all ended" children_all_collected "$scratch/b.err"
check "... and those of a, restarted" children_all_collected "$scratch/a2.err"
check "no instance logged a bad proxy header, for a client or a health check" \
    bash -c '! grep -F "bad proxy header" "$@"' _ "$scratch/a.err" "$scratch/b.err" "$scratch/a2.err"

finish

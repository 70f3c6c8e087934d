#!/bin/bash
# The served commands in examples/, each run by the real daemon and reached
# over loopback: what a user copying them would see.
#
# usage: examples_test.sh SOCKHERD EXAMPLES_DIR
. "$(dirname "$0")/lib.sh"

sockherd=$(realpath "$1")
examples=$(realpath "$2")
need_tool curl curl

curl_opts=(-sS --noproxy '*' --max-time 10)

# --- echo.sh: bytes come back unchanged; its note goes to the daemon's log

echo_round_trip() {  # port file: sends file while reading the echo, compares
    timeout 20 bash -c '
        exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
        cat "$2" >&3 &
        head -c "$(stat -c %s "$2")" <&3' echo_round_trip "$1" "$2" > "$2.back"
    cmp -s "$2" "$2.back"
}

if start_daemon echo 127.0.0.1 0 "$examples/echo.sh"; then
    printf 'hello\nsecond line\n' > "$scratch/lines"
    check "echo returns lines unchanged" echo_round_trip "$echo_port" "$scratch/lines"

    # Every byte value, and more than the socket buffers hold at once.
    for i in $(seq 0 255); do printf "\\$(printf %03o "$i")"; done > "$scratch/bytes"
    head -c 262144 /dev/urandom >> "$scratch/bytes"
    check "echo returns 256 KiB of binary data unchanged" echo_round_trip "$echo_port" "$scratch/bytes"

    check "echo's note reaches the daemon's standard error, not the client" \
        wait_for_text "$scratch/echo.err" "echo: 127.0.0.1 port " 2
    check "echo's note names the connection from the five variables" \
        grep -q -E "^echo: 127\\.0\\.0\\.1 port [0-9]+ reached TCP 127\\.0\\.0\\.1 port $echo_port\$" \
        "$scratch/echo.err"
    check "the echoed data holds no trace of the note" \
        bash -c '! grep -q "echo:" "$1.back"' _ "$scratch/lines"
    stop_pid "$echo_pid"
else
    fail "echo daemon did not start"
fi

# --- whoami.sh: the five variables, checked against what the client saw;
# without -p no proxy variables

whoami_matches() {  # host port proto localip
    local url="telnet://$1:$2"
    local got
    got=$(curl "${curl_opts[@]}" -w 'client-port=%{local_port}\n' "$url" < /dev/null) || return 1
    local client_port
    client_port=$(sed -n 's/^client-port=//p' <<< "$got")
    local expected
    expected=$(printf '%s\n' "PROTO=$3" "TCPLOCALIP=$4" "TCPLOCALPORT=$2" \
        "TCPREMOTEIP=$4" "TCPREMOTEPORT=$client_port" \
        "TCPPROXYIP=(unset)" "TCPPROXYPORT=(unset)" "client-port=$client_port")
    if [ "$got" != "$expected" ]; then
        printf 'expected:\n%s\ngot:\n%s\n' "$expected" "$got"
        return 1
    fi
}

# A balancer's health check connects and resets at once, before the command
# writes: a complaint for each would fill the daemon's log.
whoami_quiet_after_resets() {  # port log closed-lines-before
    python3 - "$1" <<'EOF' || return 1
import socket, struct, sys
for _ in range(5):
    s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
EOF
    wait_for_text "$2" " closed (" $(($3 + 5)) > /dev/null || return 1
    ! grep -F "whoami.sh:" "$2"
}

# Variables of the same name in the daemon's environment must not leak
# through: the command sees the connection's values.
daemon_env=(PROTO=stale TCPREMOTEIP=stale TCPREMOTEPORT=1)
if start_daemon who -v 127.0.0.1 0 "$examples/whoami.sh"; then
    check "whoami over IPv4 reports the connection as the client saw it" \
        whoami_matches 127.0.0.1 "$who_port" TCP 127.0.0.1
    check "a second client gets its own port" \
        whoami_matches 127.0.0.1 "$who_port" TCP 127.0.0.1
    if command -v python3 > /dev/null; then
        check "whoami says nothing when its client has reset before it wrote" \
            whoami_quiet_after_resets "$who_port" "$scratch/who.err" 2
    else
        echo "note: python3 is not installed (Debian package python3); the whoami case with resetting clients was not run"
    fi
    stop_pid "$who_pid"
else
    fail "whoami daemon did not start"
fi

daemon_env=()
if ! grep -q '^0\{31\}1 ' /proc/net/if_inet6 2> /dev/null; then
    echo "note: no IPv6 loopback address here; the IPv6 whoami case was not run"
elif start_daemon who6 -6 ::1 0 "$examples/whoami.sh"; then
    check "whoami over IPv6 reports TCP6 and ::1" \
        whoami_matches "[::1]" "$who6_port" TCP6 ::1
    stop_pid "$who6_pid"
else
    fail "IPv6 whoami daemon did not start"
fi

# --- http-hello.sh: curl as the client

# http HOST_PORT [curl options...]: prints "status client-port" and leaves
# the headers and body in $scratch/headers and $scratch/body.
http() {
    local where=$1
    shift
    curl "${curl_opts[@]}" -D "$scratch/headers" -o "$scratch/body" \
        -w '%{http_code} %{local_port}' "$@" "http://$where/some/path?q=1"
}

hello_answers_with_client_address() {
    local result
    result=$(http "127.0.0.1:$1") || return 1
    local status=${result% *} client_port=${result#* }
    local body expected="hello, 127.0.0.1 port $client_port"
    body=$(cat "$scratch/body")
    [ "$status" = 200 ] && [ "$body" = "$expected" ] \
        && grep -q -i -x "content-length: $(($(stat -c %s "$scratch/body")))"$'\r' "$scratch/headers" \
        && head -n 1 "$scratch/headers" | grep -q '^HTTP/1\.0 200 OK' \
        || { echo "status $status, body '$body', expected '$expected'"; cat "$scratch/headers"; return 1; }
}

# curl would wait for the body a HEAD answer announces: read it raw.
head_has_no_body() {
    tcp_exchange "$1" 'HEAD / HTTP/1.0\r\nHost: test\r\n\r\n' > "$scratch/head" || return 1
    head -n 1 "$scratch/head" | grep -q '^HTTP/1\.0 200 OK' \
        && grep -q -i '^content-length: [1-9]' "$scratch/head" \
        && [ "$(tail -c 4 "$scratch/head" | od -An -tx1 | tr -d ' \n')" = 0d0a0d0a ]
}

other_methods_get_501() {
    local result
    result=$(http "127.0.0.1:$1" -X DELETE) || return 1
    [ "${result% *}" = 501 ] && grep -q -i '^allow: GET, HEAD' "$scratch/headers"
}

post_body_is_read_before_answering() {
    head -c 100000 /dev/zero | tr '\0' a > "$scratch/form"
    local result
    result=$(http "127.0.0.1:$1" --data-binary "@$scratch/form") || return 1
    [ "${result% *}" = 501 ]
}

garbage_gets_400() {
    tcp_exchange "$1" 'no http here\r\n\r\n' | head -n 1 | grep -q '^HTTP/1\.0 400 Bad Request'
}

if start_daemon http 127.0.0.1 0 "$examples/http-hello.sh"; then
    check "GET answers 200 with the client's own address and port" \
        hello_answers_with_client_address "$http_port"
    check "HEAD answers the headers alone" head_has_no_body "$http_port"
    check "other methods answer 501 with Allow" other_methods_get_501 "$http_port"
    check "a request body is read, so the answer is not lost to a reset" \
        post_body_is_read_before_answering "$http_port"
    check "a request that is not HTTP answers 400" garbage_gets_400 "$http_port"
    stop_pid "$http_pid"
else
    fail "http daemon did not start"
fi

# The manual's HTTP example at a limit of one: a silent client holds the one
# place, so the next gets the 503 refusal text; once it leaves, service is back.
busy_gets_503() {
    local result
    result=$(http "127.0.0.1:$1") || return 1
    [ "${result% *}" = 503 ] && [ ! -s "$scratch/body" ]
}
if start_daemon limited -v -c 1 \
        -r 'HTTP/1.0 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n' \
        127.0.0.1 0 timeout 30 "$examples/http-hello.sh"; then
    exec {silent}<>"/dev/tcp/127.0.0.1/$limited_port"
    check "the silent client is running" wait_for_text "$scratch/limited.err" "connected from" 1
    check "at the limit, a client gets the 503 text" busy_gets_503 "$limited_port"
    check "the refusal is logged" wait_for_text "$scratch/limited.err" "- refused from 127.0.0.1 port" 1
    exec {silent}>&-
    check "the silent client's command ends when it leaves" \
        wait_for_text "$scratch/limited.err" "closed (0/1)" 1
    check "below the limit again, clients are served" hello_answers_with_client_address "$limited_port"
    stop_pid "$limited_pid"
else
    fail "limited http daemon did not start"
fi

finish

#!/bin/sh
# HTTP/1.0 "hello" for sockherd: answers every GET with the address and port
# the client connected from, as sockherd gave them in TCPREMOTEIP and
# TCPREMOTEPORT.
#
#   sockherd -c 20 -r 'HTTP/1.0 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n' \
#       0 8080 timeout 10 /usr/share/doc/sockherd/examples/http-hello.sh
#
# A client that sends nothing keeps this script waiting, and keeps one of
# sockherd's -c places with it: timeout(1) bounds that.

set -f  # the request line is split into words below; "*" must stay "*"
cr=$(printf '\r')

respond() {  # status, body ("" for none)
    printf 'HTTP/1.0 %s\r\n' "$1"
    printf 'Content-Type: text/plain\r\n'
    if [ -n "$2" ]; then
        printf 'Content-Length: %d\r\n' $((${#2} + 1))
    else
        printf 'Content-Length: 0\r\n'
    fi
    [ -z "$3" ] || printf '%s\r\n' "$3"
    printf 'Connection: close\r\n\r\n'
    [ -z "$2" ] || [ "$method" = HEAD ] || printf '%s\n' "$2"
}

IFS= read -r request || exit 0  # closed without a request
request=${request%"$cr"}

# The headers end at the first empty line. A request has a few dozen at most;
# stop reading after 100 so a client cannot feed us forever.
lines=0
body_length=0
while [ "$lines" -lt 100 ] && IFS= read -r header; do
    header=${header%"$cr"}
    [ -n "$header" ] || break
    case "$header" in
        [Cc][Oo][Nn][Tt][Ee][Nn][Tt]-[Ll][Ee][Nn][Gg][Tt][Hh]:*)
            body_length=$(printf '%s' "${header#*:}" | tr -dc 0-9) ;;
    esac
    lines=$((lines + 1))
done

# A body is not wanted, but it must be read: closing a socket with unread
# input makes the system reset the connection, and the client may lose the
# answer. Up to 64 KiB; beyond that the client gets what it asked for.
if [ -n "$body_length" ] && [ "$body_length" -gt 0 ] && [ "$body_length" -le 65536 ]; then
    head -c "$body_length" > /dev/null
fi

# shellcheck disable=SC2086  # word splitting is the point here
set -- $request
method=$1
case "$#:$3" in
    3:HTTP/[0-9]*) ;;
    *) method=; respond "400 Bad Request" "bad request"; exit 0 ;;
esac

case "$method" in
    GET|HEAD) respond "200 OK" "hello, $TCPREMOTEIP port $TCPREMOTEPORT" ;;
    *) respond "501 Not Implemented" "only GET and HEAD" "Allow: GET, HEAD" ;;
esac

#!/bin/sh
# Tells the client what sockherd told this command about the connection:
# the five variables, then TCPPROXYIP and TCPPROXYPORT, which only sockherd -p
# sets (the balancer's address, while the five describe the real client),
# one NAME=value line each, then closes.
#
#   sockherd 127.0.0.1 7008 /usr/share/doc/sockherd/examples/whoami.sh
#
# A variable that is not set shows as "(unset)": the last two without -p,
# and all seven when run by hand, outside sockherd.
#
# It reads nothing, since its clients send nothing (curl telnet://... with
# </dev/null, a balancer's health check). A client that does send may lose
# the answer: a socket closed with input unread makes the system reset the
# connection, and the reset throws away what the client had not read yet.
# A service whose clients speak must read what they send before it closes,
# as http-hello.sh reads the whole request.
text=
for name in PROTO TCPLOCALIP TCPLOCALPORT TCPREMOTEIP TCPREMOTEPORT TCPPROXYIP TCPPROXYPORT; do
    eval "value=\${$name-(unset)}"
    text="$text$name=$value
"
done
# One write, and no complaint when the client has already gone: a balancer's
# health check connects and closes at once, every few seconds.
printf '%s' "$text" 2>/dev/null

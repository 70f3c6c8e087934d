#!/bin/sh
# Tells the client what sockherd told this command about the connection:
# the five variables, one NAME=value line each, then closes.
#
#   sockherd 127.0.0.1 7008 /usr/share/doc/sockherd/examples/whoami.sh
#
# Run by hand, outside sockherd, it shows "(unset)" for each.
for name in PROTO TCPLOCALIP TCPLOCALPORT TCPREMOTEIP TCPREMOTEPORT; do
    eval "value=\${$name-(unset)}"
    printf '%s=%s\n' "$name" "$value"
done

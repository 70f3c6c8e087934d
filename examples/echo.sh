#!/bin/sh
# Echo service for sockherd: every byte the client sends comes straight back,
# until the client closes its side.
#
#   sockherd -v 127.0.0.1 7007 /usr/share/doc/sockherd/examples/echo.sh
#
# Standard input and output are the connection. Standard error is sockherd's
# own (unless it runs with -e), so this line goes to the daemon's log, not to
# the client.
echo "echo: $TCPREMOTEIP port $TCPREMOTEPORT reached $PROTO $TCPLOCALIP port $TCPLOCALPORT" >&2
exec cat

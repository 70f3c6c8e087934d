#!/bin/bash
# The systemd units in examples/: sockherd-echo.service, which binds its own
# port, and sockherd-echo.socket with sockherd-echo-activated.service, which
# runs sockherd -L on the socket systemd holds. systemd accepts them, their
# command lines are ones sockherd accepts, they keep the settings their
# comments promise, and a stop of the activated one loses no client.
#
# usage: systemd_test.sh SOCKHERD EXAMPLES_DIR MAN_PAGE
. "$(dirname "$0")/lib.sh"

sockherd=$(realpath "$1")
examples=$(realpath "$2")
man_page=$3
need_tool systemd-analyze systemd

plain=sockherd-echo.service
socket=sockherd-echo.socket
activated=sockherd-echo-activated.service

# systemd-analyze verify needs no running systemd, but some containers lack
# what it loads; a unit that cannot fail tells whether it works here at all.
mkdir -p "$scratch/probe"
printf '[Service]\nExecStart=/bin/true\n' > "$scratch/probe/probe.service"
systemd-analyze verify "$scratch/probe/probe.service" > "$scratch/probe.out" 2>&1 ||
    skip "systemd-analyze verify does not work here: $(head -n 3 "$scratch/probe.out")"

# The units name the installed binary; check them against the one just
# built, and let Documentation=man:sockherd(1) find the page being tested.
mkdir -p "$scratch/unit" "$scratch/man/man1"
for name in "$plain" "$socket" "$activated"; do
    sed "s#/usr/bin/sockherd#$sockherd#" "$examples/$name" > "$scratch/unit/$name"
done
cp "$man_page" "$scratch/man/man1/sockherd.1"

verify_clean() {  # UNIT...: verified together, as a socket needs its service
    local units=() name
    for name in "$@"; do units+=("$scratch/unit/$name"); done
    MANPATH="$scratch/man" systemd-analyze verify "${units[@]}" > "$scratch/verify.out" 2>&1
    local status=$?
    # Complaints about other units on this machine are none of our business.
    local ours
    ours=$(grep -F -e "${1%.*}" "$scratch/verify.out")
    [ "$status" -eq 0 ] && [ -z "$ours" ] || { cat "$scratch/verify.out"; return 1; }
}
check "systemd-analyze verify reports nothing on $plain" verify_clean "$plain"
check "systemd-analyze verify reports nothing on $socket with $activated" \
    verify_clean "$socket" "$activated"

# setting UNIT SECTION KEY: the value of KEY in SECTION (last one wins).
setting() {
    sed -n "/^\\[$2\\]/,/^\\[/p" "$examples/$1" | sed -n "s/^$3=//p" | tail -n 1
}
# service_settings UNIT: the [Service] section's settings, comments dropped.
service_settings() {
    sed -n '/^\[Service\]/,/^\[/p' "$examples/$1" | grep -E '^[A-Za-z]+='
}

# exec_start_args UNIT: the words of ExecStart after the binary, each as
# sockherd receives it (systemd has already turned \r\n in the refusal text
# into the characters themselves), into the array args.
exec_start_args() {
    local exec_start word
    exec_start=$(setting "$1" Service ExecStart)
    [[ $exec_start == /usr/bin/sockherd\ * ]] || { echo "ExecStart is not sockherd: $exec_start"; return 1; }
    eval "set -- ${exec_start#/usr/bin/sockherd }"  # the unit's quoting is shell-like for this line
    args=()
    for word in "$@"; do args+=("$(printf '%b' "$word")"); done
}

# options_then_operands: splits args into the array options and the array
# operands, as the daemon's getopt would (the options that take a value:
# -c, -b, -g, -u, -r, -C, -K, -G, -A and -T).
options_then_operands() {
    options=() operands=("${args[@]}")
    while [ "${#operands[@]}" -gt 0 ]; do
        case ${operands[0]} in
            --) operands=("${operands[@]:1}"); break ;;
            -[cbgurCKGAT]) options+=("${operands[@]:0:2}"); operands=("${operands[@]:2}") ;;
            -?*) options+=("${operands[0]}"); operands=("${operands[@]:1}") ;;
            *) break ;;
        esac
    done
}

no_id_options() {  # UNIT
    exec_start_args "$1" && options_then_operands || return 1
    # The manager sets the user; -u, -g or -U would need root to start with.
    ! printf '%s\n' "${options[@]}" | grep -q -E '^-[a-zA-Z0-9]*[ugU]' ||
        { echo "options: ${options[*]}"; return 1; }
}
check "$plain: ExecStart runs sockherd, with no -u, -g or -U" no_id_options "$plain"
check "$activated: ExecStart runs sockherd, with no -u, -g or -U" no_id_options "$activated"
check "User= and Group= are set, and not root" \
    bash -c '[ -n "$1" ] && [ "$1" != root ] && [ -n "$2" ] && [ "$2" != root ]' _ \
    "$(setting "$plain" Service User)" "$(setting "$plain" Service Group)"
check "LimitNOFILE is above 1024" bash -c '[ "$1" -gt 1024 ]' _ "$(setting "$plain" Service LimitNOFILE)"

for wanted in NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes PrivateTmp=yes \
        PrivateDevices=yes ProtectKernelTunables=yes ProtectControlGroups=yes \
        RestrictNamespaces=yes CapabilityBoundingSet= IgnoreSIGPIPE=no KillMode=mixed; do
    check "$plain: $wanted" [ "$(setting "$plain" Service "${wanted%%=*}")" = "${wanted#*=}" ]
done

# A stop must give the drain its time: -G N, and systemd's timeout above N + 2.
drain_fits_stop_timeout() {  # UNIT
    exec_start_args "$1" && options_then_operands || return 1
    local drain="" i
    for ((i = 0; i < ${#options[@]}; i++)); do
        [ "${options[$i]}" = -G ] && drain=${options[$((i + 1))]-}
    done
    local timeout
    timeout=$(setting "$1" Service TimeoutStopSec)
    [ -n "$drain" ] && [ -n "$timeout" ] && [ "${timeout%s}" -gt $((drain + 2)) ] ||
        { echo "-G '$drain', TimeoutStopSec '$timeout'"; return 1; }
}
check "$plain: -G N and TimeoutStopSec above N + 2" drain_fits_stop_timeout "$plain"

# The activated service is the plain one with the socket from systemd: any
# other difference is one of them drifting.
same_service_settings() {
    local ignore='^(Type|ExecStart)='
    diff <(service_settings "$plain" | grep -v -E "$ignore") \
         <(service_settings "$activated" | grep -v -E "$ignore")
}
check "$activated has every [Service] setting of $plain but Type and ExecStart" same_service_settings

# With -L the socket unit chose address and port: the first operand must be
# the command, not an address.
activated_exec_start() {
    exec_start_args "$activated" && options_then_operands || return 1
    printf '%s\n' "${options[@]}" | grep -q -x -e -L ||
        { echo "no -L in: ${options[*]}"; return 1; }
    [[ ${operands[0]-} == /* ]] || { echo "first operand is not a command path: ${operands[*]}"; return 1; }
}
check "$activated: Type=notify" [ "$(setting "$activated" Service Type)" = notify ]
check "$activated: ExecStart has -L, then the command with no address or port" activated_exec_start
check "$socket: Service= names $activated" [ "$(setting "$socket" Socket Service)" = "$activated" ]
check "$socket: one daemon for all clients (Accept=no or unset)" \
    bash -c '[ -z "$1" ] || [ "$1" = no ] || [ "$1" = false ]' _ "$(setting "$socket" Socket Accept)"
check "$socket: listens on port 7007 with a backlog of its own" \
    bash -c '[ "$1" = 7007 ] && [ "$2" -gt 10 ]' _ \
    "$(setting "$socket" Socket ListenStream)" "$(setting "$socket" Socket Backlog)"

# systemd's own rating of the sandbox; 2.0 and below is what it calls OK.
if systemd-analyze security --help 2>&1 | grep -q -- '--offline'; then
    rated_ok() {  # UNIT
        systemd-analyze security --offline=yes --threshold=20 --no-pager \
            "$scratch/unit/$1" > "$scratch/security.out" 2>&1 ||
            { cat "$scratch/security.out"; return 1; }
    }
    check "systemd rates $plain's exposure 2.0 or lower" rated_ok "$plain"
    check "systemd rates $activated's exposure 2.0 or lower" rated_ok "$activated"
else
    echo "note: this systemd-analyze cannot rate a unit offline; exposure not checked"
fi

echo_answers() {  # PORT: a client sends a line and gets it back
    local answer
    answer=$(timeout 10 bash -c '
        exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
        printf "ping\n" >&3
        head -n 1 <&3' _ "$1")
    [ "$answer" = ping ] || { echo "answer: '$answer'"; return 1; }
}

# The command line must also be one the daemon accepts: run it with the
# port swapped for 0 and -1 added, and talk to it.
run_exec_start_here() {
    exec_start_args "$plain" || return 1
    local here=() arg
    for arg in "${args[@]}"; do
        case "$arg" in
            0) here+=(127.0.0.1) ;;     # the address: stay on loopback
            7007) here+=(0) ;;          # the port: let the system choose
            *) here+=("$arg") ;;
        esac
    done
    start_daemon unit_line "${here[@]}" || return 1
    echo_answers "$unit_line_port"
    local status=$?
    stop_pid "$unit_line_pid"
    return "$status"
}
check "$plain's command line serves clients when run by hand" run_exec_start_here

# The activated service's line, run the way systemd runs it: on a socket
# from systemd-socket-activate (which binds, waits for the first client and
# execs the daemon with LISTEN_PID and LISTEN_FDS set), with NOTIFY_SOCKET
# naming a socket of ours that must receive READY=1.
notify_receiver='
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
print("bound", flush=True)
s.settimeout(20)
while True:
    message = s.recv(4096).decode(errors="replace")
    print(message.replace("\n", " "), flush=True)
    if "READY=1" in message.split("\n"):
        break
'
run_activated_here() {
    exec_start_args "$activated" || return 1
    local attempt port
    for attempt in 1 2 3; do
        # A port nothing listens on, chosen by a short-lived daemon.
        start_daemon "free$attempt" 127.0.0.1 0 true || return 1
        local pid_var="free${attempt}_pid" port_var="free${attempt}_port"
        stop_pid "${!pid_var}"
        port=${!port_var}
        start_bg "notify$attempt" python3 -c "$notify_receiver" "$scratch/notify$attempt"
        local notify_pid="notify${attempt}_pid" notify_out="notify${attempt}_out" line=""
        IFS= read -r -t 10 line <&"${!notify_out}" && [ "$line" = bound ] ||
            { echo "the notify receiver did not start"; show_log "$scratch/notify$attempt.err"; return 1; }
        start_bg "activate$attempt" systemd-socket-activate -l "127.0.0.1:$port" \
            -E NOTIFY_SOCKET="$scratch/notify$attempt" "$sockherd" "${args[@]}"
        local activate_pid="activate${attempt}_pid"
        wait_for_text "$scratch/activate$attempt.err" "Listening on" 1 10 > /dev/null && break
        stop_pid "${!activate_pid}"
        stop_pid "${!notify_pid}"
        # Another process may have taken the port meanwhile: choose again then.
        grep -q -i 'in use' "$scratch/activate$attempt.err" ||
            { show_log "$scratch/activate$attempt.err"; return 1; }
    done
    local served=yes ready=""
    echo_answers "$port" && echo_answers "$port" || served=no
    IFS= read -r -t 10 ready <&"${!notify_out}"
    stop_pid "${!activate_pid}"
    stop_pid "${!notify_pid}"
    [ "$served" = yes ] || { show_log "$scratch/activate$attempt.err"; return 1; }
    [[ $ready == *READY=1* ]] || { echo "no READY=1 on NOTIFY_SOCKET: '$ready'"; return 1; }
}
if ! "$sockherd" -h 2>&1 | grep -q -E '^ +-L '; then
    echo "note: this sockherd has no -L; $activated's command line was not run"
elif ! command -v systemd-socket-activate > /dev/null || ! command -v python3 > /dev/null; then
    echo "note: systemd-socket-activate (Debian package systemd) or python3 (package python3) is missing; $activated's command line was not run"
else
    check "$activated's command line serves clients on a socket from the manager and sends READY=1" \
        run_activated_here
fi

# A stop or restart of the activated service as systemd makes it: SIGTERM to
# sockherd alone while clients are in the middle of their exchange with cat,
# the socket kept by the manager. The unit's -G 30 stands: the drain ends
# when the last client closes. The helper plays the manager (systemd's own
# socket-activate tool keeps no copy of the socket it hands over).
drain_loses_no_client() {
    exec_start_args "$activated" || return 1
    timeout 60 python3 "$(dirname "$0")/drain_under_manager.py" "$sockherd" "${args[@]}" \
        > "$scratch/drain.out" 2> "$scratch/drain.err"
    local status=$?
    cat "$scratch/drain.out"
    [ "$status" -eq 0 ] || { show_log "$scratch/drain.err"; return 1; }
    # Its log: five commands running at the SIGTERM, each closed after it, then the end.
    local after
    after=$(sed -n '/^- draining (5 running)$/,$p' "$scratch/drain.err")
    [ "$(grep -c ' closed (' <<< "$after")" -eq 5 ] && [ "$(tail -n 1 <<< "$after")" = "- drained" ] ||
        { show_log "$scratch/drain.err"; return 1; }
}
if ! command -v python3 > /dev/null; then
    echo "note: python3 missing; $activated was not stopped with clients in the middle"
else
    check "$activated's command line, stopped mid-exchange, loses no client: the served finish, the new wait" \
        drain_loses_no_client
fi

finish

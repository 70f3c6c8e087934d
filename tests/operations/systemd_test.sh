#!/bin/bash
# examples/sockherd-echo.service: systemd accepts it, its command line is one
# sockherd accepts, and it keeps the settings its comments promise.
#
# usage: systemd_test.sh SOCKHERD EXAMPLES_DIR MAN_PAGE
. "$(dirname "$0")/lib.sh"

sockherd=$(realpath "$1")
examples=$(realpath "$2")
man_page=$3
need_tool systemd-analyze systemd

unit_name=sockherd-echo.service
unit="$examples/$unit_name"

# systemd-analyze verify needs no running systemd, but some containers lack
# what it loads; a unit that cannot fail tells whether it works here at all.
mkdir -p "$scratch/probe"
printf '[Service]\nExecStart=/bin/true\n' > "$scratch/probe/probe.service"
systemd-analyze verify "$scratch/probe/probe.service" > "$scratch/probe.out" 2>&1 ||
    skip "systemd-analyze verify does not work here: $(head -n 3 "$scratch/probe.out")"

# The unit names the installed binary; check it against the one just built,
# and let Documentation=man:sockherd(1) find the page being tested.
mkdir -p "$scratch/unit" "$scratch/man/man1"
sed "s#/usr/bin/sockherd#$sockherd#" "$unit" > "$scratch/unit/$unit_name"
cp "$man_page" "$scratch/man/man1/sockherd.1"

verify_clean() {
    MANPATH="$scratch/man" systemd-analyze verify "$scratch/unit/$unit_name" > "$scratch/verify.out" 2>&1
    local status=$?
    # Complaints about other units on this machine are none of our business.
    local ours
    ours=$(grep -F "$unit_name" "$scratch/verify.out")
    [ "$status" -eq 0 ] && [ -z "$ours" ] || { cat "$scratch/verify.out"; return 1; }
}
check "systemd-analyze verify reports nothing on the unit" verify_clean

# setting KEY: the value of KEY in the [Service] section (last one wins).
setting() {
    sed -n '/^\[Service\]/,/^\[/p' "$unit" | sed -n "s/^$1=//p" | tail -n 1
}

exec_start_is_sockherd_without_id_options() {
    local exec_start
    exec_start=$(setting ExecStart)
    [[ $exec_start == /usr/bin/sockherd\ * ]] || return 1
    # The manager sets the user; -u, -g or -U would need root to start with.
    ! grep -q -E '(^| )-[a-zA-Z0-9]*[ugU]' <<< "${exec_start%% 0 *}"
}
check "ExecStart runs sockherd, with no -u, -g or -U" exec_start_is_sockherd_without_id_options
check "User= and Group= are set, and not root" \
    bash -c '[ -n "$1" ] && [ "$1" != root ] && [ -n "$2" ] && [ "$2" != root ]' _ \
    "$(setting User)" "$(setting Group)"
check "LimitNOFILE is above 1024" bash -c '[ "$1" -gt 1024 ]' _ "$(setting LimitNOFILE)"

for wanted in NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes PrivateTmp=yes \
        PrivateDevices=yes ProtectKernelTunables=yes ProtectControlGroups=yes \
        RestrictNamespaces=yes CapabilityBoundingSet=; do
    check "sandboxing: $wanted" [ "$(setting "${wanted%%=*}")" = "${wanted#*=}" ]
done

# systemd's own rating of the sandbox; 2.0 and below is what it calls OK.
if systemd-analyze security --help 2>&1 | grep -q -- '--offline'; then
    rated_ok() {
        systemd-analyze security --offline=yes --threshold=20 --no-pager \
            "$scratch/unit/$unit_name" > "$scratch/security.out" 2>&1 ||
            { cat "$scratch/security.out"; return 1; }
    }
    check "systemd rates the unit's exposure 2.0 or lower" rated_ok
else
    echo "note: this systemd-analyze cannot rate a unit offline; exposure not checked"
fi

# The command line must also be one the daemon accepts: run it with the
# port swapped for 0 and -1 added, and talk to it. systemd has already turned
# the \r\n of the refusal text into the characters themselves.
run_exec_start_here() {
    local exec_start
    exec_start=$(setting ExecStart)
    exec_start=${exec_start#/usr/bin/sockherd }
    eval "set -- $exec_start"  # the unit's quoting is shell-like for this line
    local args=() arg
    for arg in "$@"; do
        case "$arg" in
            0) args+=(127.0.0.1) ;;     # the address: stay on loopback
            7007) args+=(0) ;;          # the port: let the system choose
            *) args+=("$(printf '%b' "$arg")") ;;
        esac
    done
    start_daemon unit_line "${args[@]}" || return 1
    local answer
    answer=$(timeout 10 bash -c '
        exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
        printf "ping\n" >&3
        head -n 1 <&3' _ "$unit_line_port")
    stop_pid "$unit_line_pid"
    [ "$answer" = ping ]
}
check "the unit's command line serves clients when run by hand" run_exec_start_here

finish

#!/bin/bash
# The Containerfile: it builds offline, FROM scratch, an image holding the
# stripped static daemon alone; the build context is that one file; a
# service's image can take the daemon with COPY --from=sockherd; and, where
# this machine can run containers, the daemon serves from the image and, as
# PID 1, ends with the usual status on SIGTERM and SIGINT.
#
# Everything happens in a podman store of our own under the scratch
# directory, so the machine's images are neither used nor touched, and every
# image and container goes with it.
#
# usage: container_test.sh BUILD_DIR SOURCE_DIR VERSION
. "$(dirname "$0")/lib.sh"

build=$(realpath "$1")
source_dir=$(realpath "$2")
version=$3
need_tool podman podman

store="$scratch/store"
podman=(timeout 120 podman --root "$store/root" --runroot "$store/run" --tmpdir "$store/tmp"
        --storage-driver vfs --events-backend none)
containers=""

container_cleanup() {
    local name
    for name in $containers; do
        "${podman[@]}" rm -f -t 0 "$name" > /dev/null 2>&1
    done
    "${podman[@]}" rmi -a -f > /dev/null 2>&1
    # A rootless store holds files of the user namespace's other IDs.
    [ "$(id -u)" -eq 0 ] || podman unshare rm -rf "$store" 2> /dev/null
    cleanup
}
trap container_cleanup EXIT

# Whether podman can build at all here: an image that cannot be wrong.
mkdir -p "$scratch/probe"
echo probe > "$scratch/probe/file"
printf 'FROM scratch\nCOPY file /file\n' > "$scratch/probe/Containerfile"
"${podman[@]}" build --pull=never -q -t probe "$scratch/probe" > "$scratch/probe.out" 2>&1 ||
    skip "podman cannot build an image here: $(tail -n 3 "$scratch/probe.out")"
"${podman[@]}" rmi -f probe > /dev/null 2>&1

daemon="$build/stripped/sockherd"
[ -x "$daemon" ] || { fail "no stripped daemon at $daemon"; finish; exit; }
# The image has no loader and no C library for a dynamic daemon to use.
! readelf -l "$daemon" | grep -q 'INTERP' ||
    skip "this build's daemon is dynamic (a sanitizer or -DSOCKHERD_STATIC=OFF build); the image needs the static one"

# The context as in a source tree with a build in it: the Containerfile and
# ignore files, the stripped daemon, and files the image has no use for.
context="$scratch/context"
mkdir -p "$context/build/stripped" "$context/src"
cp -P "$source_dir/Containerfile" "$source_dir/.containerignore" "$source_dir/.dockerignore" \
    "$source_dir/README.md" "$source_dir/LICENSE" "$context/"
cp "$daemon" "$context/build/stripped/sockherd"
cp "$build/sockherd" "$context/build/sockherd"
cp "$build/CMakeCache.txt" "$context/build/"
cp "$source_dir/src/main.cc" "$context/src/"

podman_build() {  # TAG CONTAINERFILE
    "${podman[@]}" build --pull=never -t "$1" -f "$2" "$context" > "$scratch/build-$1.log" 2>&1 ||
        { cat "$scratch/build-$1.log"; return 1; }
}

# files_of IMAGE: every path in the image's file system, sorted. The
# container is never started; an entry point must be named all the same.
files_of() {
    local name="files-$RANDOM"
    "${podman[@]}" create --name "$name" --entrypoint /none "$1" > /dev/null || return 1
    containers="$containers $name"
    "${podman[@]}" export "$name" | tar -t | sed 's#/$##' | sort
    "${podman[@]}" rm "$name" > /dev/null
}

# Copying the whole context must bring nothing but the daemon. (Buildah
# leaves out a directory the ignore file excludes even where an exception
# names a file in it, so here it brings nothing at all; the daemon is
# copied by its full path, which the image build below checks.)
context_is_the_daemon_alone() {
    printf 'FROM scratch\nCOPY . /context/\n' > "$scratch/Containerfile.context"
    podman_build context-probe "$scratch/Containerfile.context" || return 1
    local found
    found=$(files_of context-probe | grep '^context/' |
        grep -v -x -E 'context(/build(/stripped(/sockherd)?)?)?')
    "${podman[@]}" rmi -f context-probe > /dev/null
    [ -z "$found" ] || { printf 'the build context holds:\n%s\n' "$found"; return 1; }
}
check "the ignore files leave the stripped daemon alone in the build context" context_is_the_daemon_alone

check "podman build of the Containerfile succeeds offline" \
    podman_build sockherd "$context/Containerfile" || { finish; exit; }

image_is_the_daemon_alone() {
    local files layers entrypoint
    files=$(files_of sockherd) || return 1
    layers=$("${podman[@]}" image inspect --format '{{len .RootFS.Layers}}' sockherd)
    entrypoint=$("${podman[@]}" image inspect --format '{{json .Config.Entrypoint}}' sockherd)
    [ "$files" = sockherd ] && [ "$layers" = 1 ] && [ "$entrypoint" = '["/sockherd"]' ] ||
        { echo "files: $files; layers: $layers; entry point: $entrypoint"; return 1; }
}
check "the image is one layer holding /sockherd alone, its entry point" image_is_the_daemon_alone

image_daemon_is_the_stripped_build() {
    local name="copy-$RANDOM"
    "${podman[@]}" create --name "$name" sockherd > /dev/null || return 1
    containers="$containers $name"
    "${podman[@]}" export "$name" | tar -xO sockherd > "$scratch/image-sockherd"
    "${podman[@]}" rm "$name" > /dev/null
    cmp "$daemon" "$scratch/image-sockherd"
}
check "the image's daemon is the build's stripped one" image_daemon_is_the_stripped_build

# A service's image, as docs/operations.md has it.
printf 'FROM scratch\nCOPY --from=sockherd /sockherd /usr/bin/sockherd\nENTRYPOINT ["/usr/bin/sockherd"]\n' \
    > "$scratch/Containerfile.service"
check "a service's Containerfile takes the daemon with COPY --from=sockherd" \
    podman_build service "$scratch/Containerfile.service"

# Running needs an OCI runtime that works here. podman as root asks by
# default for descriptor and process limits above the hard ones, which
# fails without CAP_SYS_RESOURCE: ask for limits below them. The host's
# network keeps test traffic on loopback and leaves no bridge or firewall
# rule behind; -p would publish a port the same way.
run_options=(--network host --ulimit nofile=4096:4096 --ulimit nproc=4096:4096)
runtime=()
if "${podman[@]}" run --rm "${run_options[@]}" sockherd -h > /dev/null 2> "$scratch/run.err"; then
    :
elif command -v runc > /dev/null &&
        "${podman[@]}" --runtime runc run --rm "${run_options[@]}" sockherd -h > /dev/null 2>> "$scratch/run.err"; then
    echo "note: podman's default runtime failed here ($(head -n 1 "$scratch/run.err")); runc works"
    runtime=(--runtime runc)
else
    echo "note: podman cannot run a container here; the run checks were not made:"
    cat "$scratch/run.err"
    finish
    exit
fi

usage_in_image() {
    local first
    first=$("${podman[@]}" "${runtime[@]}" run --rm "${run_options[@]}" sockherd -h 2>&1 | head -n 1)
    [ "$first" = "sockherd version $version" ] || { echo "first line: $first"; return 1; }
}
check "the daemon runs in the image with nothing else there" usage_in_image

# start_container NAME ARGS...: the service image's daemon with -1, run
# attached, so its port line comes out on standard output. Sets ${NAME}_port.
start_container() {
    local name=$1
    shift
    containers="$containers $name"
    start_bg "$name" "${podman[@]}" "${runtime[@]}" run --name "$name" "${run_options[@]}" \
        service -1 "$@"
    local fd_var="${name}_out" line=""
    IFS= read -r -t 30 line <&"${!fd_var}" && [[ $line =~ ^[0-9]+$ ]] ||
        { echo "container $name gave no port line:"; show_log "$scratch/$name.err"; return 1; }
    printf -v "${name}_port" '%s' "$line"
}

# The image holds no other program, so the served command is the daemon
# itself printing its usage (-e: its standard error is the connection).
serves_from_image() {
    start_container served -v -e 127.0.0.1 0 /usr/bin/sockherd -h || return 1
    local first
    first=$(timeout 10 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1; head -n 1 <&3' _ "$served_port")
    [ "$first" = "sockherd version $version" ] || { echo "the client read: $first"; return 1; }
    wait_for_text "$scratch/served.err" "closed (0/40)" 1 10
}
check "the daemon in a service's image serves a client" serves_from_image

# exit_status_on SIGNAL: the status of a container whose daemon, as PID 1,
# gets SIGNAL.
exit_status_on() {
    local name="signal$1"
    start_container "$name" 127.0.0.1 0 /usr/bin/sockherd -h || return 1
    if [ "$1" = TERM ]; then
        "${podman[@]}" stop -t 5 "$name" > /dev/null
    else
        "${podman[@]}" kill -s "$1" "$name" > /dev/null
    fi
    local status pid_var="${name}_pid"
    status=$("${podman[@]}" wait "$name")
    stop_pid "${!pid_var}"
    "${podman[@]}" rm "$name" > /dev/null
    echo "$status"
}
# Before version 16 the daemon set no handler for these, and PID 1 ignores
# a signal it has no handler for.
if [ "$version" -ge 16 ]; then
    check "podman stop ends the daemon as PID 1 with status 143" \
        bash -c '[ "$1" = 143 ] || { echo "status $1"; exit 1; }' _ "$(exit_status_on TERM)"
    check "SIGINT ends it with status 130" \
        bash -c '[ "$1" = 130 ] || { echo "status $1"; exit 1; }' _ "$(exit_status_on INT)"
else
    echo "note: version $version predates stopping on SIGTERM as PID 1; not checked"
fi

finish

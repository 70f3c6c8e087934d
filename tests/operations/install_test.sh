#!/bin/bash
# cmake --install with a prefix and DESTDIR, and the Debian package CPack
# builds: the right files in the right places, and a stripped binary and a
# manual page that work from there.
#
# usage: install_test.sh BUILD_DIR SOURCE_DIR VERSION
. "$(dirname "$0")/lib.sh"

build=$(realpath "$1")
source_dir=$(realpath "$2")
version=$3  # the project's, which -h and the package must both report
need_tool man man-db

expected_files() {  # PREFIX (without the leading slash)
    printf '%s\n' \
        "$1/bin/sockherd" \
        "$1/share/doc/sockherd/copyright" \
        "$1/share/doc/sockherd/examples/echo.sh" \
        "$1/share/doc/sockherd/examples/haproxy.cfg" \
        "$1/share/doc/sockherd/examples/http-hello.sh" \
        "$1/share/doc/sockherd/examples/sockherd-echo-activated.service" \
        "$1/share/doc/sockherd/examples/sockherd-echo.service" \
        "$1/share/doc/sockherd/examples/sockherd-echo.socket" \
        "$1/share/doc/sockherd/examples/whoami.sh" \
        "$1/share/man/man1/sockherd.1.gz" | sort
}

# installed_tree ROOT PREFIX: checks what "cmake --install" left in ROOT.
installed_tree() {
    local root=$1 prefix=$2
    local found
    found=$(cd "$root" && find . -type f | sed 's#^\./##' | sort)
    if [ "$found" != "$(expected_files "$prefix")" ]; then
        diff <(expected_files "$prefix") <(echo "$found")
        return 1
    fi
    [ -x "$root/$prefix/bin/sockherd" ] || { echo "binary not executable"; return 1; }
    local script
    for script in echo http-hello whoami; do
        [ -x "$root/$prefix/share/doc/sockherd/examples/$script.sh" ] ||
            { echo "$script.sh not executable"; return 1; }
    done
    [ ! -x "$root/$prefix/share/man/man1/sockherd.1.gz" ] || { echo "page executable"; return 1; }
    cmp "$source_dir/LICENSE" "$root/$prefix/share/doc/sockherd/copyright" || return 1
    stripped "$root/$prefix/bin/sockherd"
}

# stripped BINARY: no debug sections and no symbol table left.
stripped() {
    local sections
    sections=$(readelf -S -W "$1") || return 1
    ! grep -E '\.(debug_[a-z_]+|symtab|zdebug[a-z_]*)[[:space:]]' <<< "$sections" ||
        { echo "$1 is not stripped"; return 1; }
}

binary_runs() {  # BINARY
    local out status
    out=$("$1" -h 2>&1)
    status=$?
    [ "$status" -eq 0 ] && [ "$(head -n 1 <<< "$out")" = "sockherd version $version" ] ||
        { echo "status $status: $out"; return 1; }
}

# The compressed page must be the page itself, and man must render it.
page_renders() {  # GZ_PAGE
    cmp -s <(gzip -dc "$1") "$source_dir/man/sockherd.1" || { echo "page differs from man/sockherd.1"; return 1; }
    local text
    text=$(MANWIDTH=80 man -l "$1" 2> "$scratch/man.err" | col -bx)
    grep -q '^SOCKHERD(1)' <<< "$text" && grep -q -x 'CAVEATS' <<< "$text" \
        && [ ! -s "$scratch/man.err" ] || { cat "$scratch/man.err"; return 1; }
}

install_with() {  # PREFIX ROOT
    DESTDIR="$2" cmake --install "$build" --prefix "$1" > "$scratch/install.log" 2>&1 ||
        { cat "$scratch/install.log"; return 1; }
}

root="$scratch/root"
check "cmake --install --prefix /usr with DESTDIR succeeds" install_with /usr "$root"
check "exactly the stripped binary, the licence, the manual page and the examples, under usr/" \
    installed_tree "$root" usr
check "the installed binary runs" binary_runs "$root/usr/bin/sockherd"
check "the installed manual page is the source page and man -l renders it" \
    page_renders "$root/usr/share/man/man1/sockherd.1.gz"
check "man finds the page by name once installed" \
    bash -c 'MANPATH="$1/usr/share/man" MANWIDTH=80 man sockherd 2>/dev/null | grep -q "^SOCKHERD(1)"' _ "$root"

check "another prefix moves everything with it" install_with /opt/sockherd "$scratch/opt"
check "... and nothing lands outside it" installed_tree "$scratch/opt" opt/sockherd

# The Debian package. cpack works in a directory of our own, so the build
# tree is left as it was.
if ! command -v dpkg-deb > /dev/null; then
    echo "note: dpkg-deb is not installed (Debian package dpkg); the Debian package was not built"
    finish
    exit
fi

build_deb() {
    (cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg") \
        > "$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; return 1; }
    deb=$(ls "$scratch"/pkg/*.deb 2> /dev/null)
    [ "$(wc -w <<< "$deb")" -eq 1 ] || { echo "packages: $deb"; cat "$scratch/cpack.log"; return 1; }
}
# Every later check reads the package: without one, stop here.
check "cpack -G DEB builds one package" build_deb || { finish; exit; }

deb_fields() {
    local field value
    # A static daemon needs no library, and the package says so by having no
    # Depends; a dynamic one needs the C library.
    local needs_libc=yes
    dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/bin/sockherd > "$scratch/sockherd.bin" || return 1
    readelf -d "$scratch/sockherd.bin" | grep -q 'NEEDED' || needs_libc=no
    for field in Package Version Architecture Section Maintainer Description; do
        value=$(dpkg-deb -f "$deb" "$field")
        [ -n "$value" ] || { echo "no $field"; return 1; }
    done
    [ "$(dpkg-deb -f "$deb" Package)" = sockherd ] \
        && [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] \
        && [ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] \
        && if [ $needs_libc = no ]; then [ -z "$(dpkg-deb -f "$deb" Depends)" ]
           else dpkg-deb -f "$deb" Depends | grep -q -E '(^|, )libc6( |,|$)'; fi \
        || { dpkg-deb -f "$deb"; return 1; }
}
check "the package's control fields are filled in" deb_fields

deb_contents() {
    dpkg-deb -x "$deb" "$scratch/deb" || return 1
    installed_tree "$scratch/deb" usr || return 1
    # Files owned by root, whatever user built the package.
    dpkg-deb -c "$deb" | awk '$2 != "root/root" { print; bad = 1 } END { exit bad }'
}
check "the package holds the same files, owned by root, the binary stripped" deb_contents
check "the packaged binary runs" binary_runs "$scratch/deb/usr/bin/sockherd"
check "the packaged manual page renders" page_renders "$scratch/deb/usr/share/man/man1/sockherd.1.gz"

finish

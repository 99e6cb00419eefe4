#!/usr/bin/env bash
# Builds the Debian package from the build directory it is run in, unpacks it into a scratch
# root and checks what a technician gets: the files, their metadata, and that the unpacked
# programs run, orvanta up to its main window against the unpacked virtual meter.
# Usage: check_deb.sh CPACK CPACK_CONFIG BUILD_CONFIG VERSION SCRATCH_DIR
set -uo pipefail

cpack=$1 config=$2 build_config=$3 version=$4 scratch=$5

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
die() {
    echo "FAIL: $*" >&2
    exit 1
}

for tool in dpkg dpkg-deb dpkg-shlibdeps file readelf desktop-file-validate appstreamcli groff gzip; do
    command -v "$tool" >/dev/null || die "$tool is missing: run scripts/setup"
done

rm -rf "$scratch"
mkdir -p "$scratch"
root=$scratch/root

meter_pid="" app_pid=""
cleanup() {
    for pid in $app_pid $meter_pid; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
}
trap cleanup EXIT

# --- Build the package ---------------------------------------------------------------------
"$cpack" -G DEB --config "$config" -C "$build_config" -B "$scratch/cpack" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log" >&2; die "cpack failed"; }
arch=$(dpkg --print-architecture)
deb=$scratch/cpack/orvanta_${version}_${arch}.deb
[ -f "$deb" ] || { ls -l "$scratch/cpack" >&2; die "no $(basename "$deb")"; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = orvanta ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = electronics ] || fail "Section is '$(field Section)'"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
[ -n "$(field Description)" ] || fail "no Description"
# Found by dpkg-shlibdeps from the linked libraries, not written by hand.
depends=$(field Depends)
for lib in libc6 libstdc++6 libqt6core6 libqt6widgets6 libqt6serialport6; do
    [[ ", $depends," == *", $lib ("* ]] || fail "Depends lacks $lib: '$depends'"
done

# Everything in /usr and owned by root, whoever built it.
dpkg-deb -c "$deb" >"$scratch/contents"
awk '$2 != "root/root" { print "  " $0 }' "$scratch/contents" | grep . &&
    fail "entries not owned by root/root (above)"
awk '$6 !~ /^\.\/usr(\/|$)/ && $6 != "./" { print "  " $6 }' "$scratch/contents" | grep . &&
    fail "entries outside /usr (above)"

# --- The unpacked files --------------------------------------------------------------------
dpkg-deb -x "$deb" "$root" || die "dpkg-deb -x failed"
usr=$root/usr
for f in bin/orvanta bin/virtual-meter; do
    [ -x "$usr/$f" ] || { fail "no executable /usr/$f"; continue; }
    file -b "$usr/$f" | grep -q '^ELF' || fail "/usr/$f is not an ELF program"
    # A run path would point into the build tree or hide a missing dependency.
    readelf -d "$usr/$f" | grep -E 'RPATH|RUNPATH' && fail "/usr/$f has a run path"
done
desktop=$usr/share/applications/orvanta.desktop
metainfo=$usr/share/metainfo/io.github.orvanta.Orvanta.metainfo.xml
png=$usr/share/icons/hicolor/32x32/apps/orvanta.png
svg=$usr/share/icons/hicolor/scalable/apps/orvanta.svg
for f in "$desktop" "$metainfo" "$png" "$svg" \
    "$usr/share/man/man1/orvanta.1.gz" "$usr/share/man/man1/virtual-meter.1.gz"; do
    [ -f "$f" ] || fail "no ${f#"$root"}"
done

# The PNG header holds the width and height as 32-bit big-endian numbers at bytes 16..23.
if [ -f "$png" ]; then
    [ "$(od -An -tx1 -N8 "$png" | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "orvanta.png is not a PNG"
    [ "$(od -An -tu1 -j16 -N8 "$png" | tr -s ' ' | sed 's/^ //')" = "0 0 0 32 0 0 0 32" ] ||
        fail "orvanta.png is not 32x32"
fi
[ -f "$svg" ] && { grep -q '<svg' "$svg" || fail "orvanta.svg has no <svg> element"; }

if [ -f "$desktop" ]; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate rejects orvanta.desktop"
    key() {
        local k=${1//[/\\[}
        sed -n "s/^${k//]/\\]}=//p" "$desktop"
    }
    [ "$(key Exec)" = orvanta ] || fail "Exec is '$(key Exec)'"
    [ "$(key Icon)" = orvanta ] || fail "Icon is '$(key Icon)'"
    [ "$(key Terminal)" = false ] || fail "Terminal is '$(key Terminal)'"
    [ "$(key Name)" = Orvanta ] || fail "Name is '$(key Name)'"
    for k in 'Name[ru]' GenericName 'GenericName[ru]' Comment 'Comment[ru]'; do
        [ -n "$(key "$k")" ] || fail "no $k in orvanta.desktop"
    done
    [[ ";$(key Categories)" == *";Electronics;"* ]] || fail "Categories lack Electronics"
fi
if [ -f "$metainfo" ]; then
    # Pedantic hints pass; errors, warnings and infos do not.
    appstreamcli validate --no-net --strict "$metainfo" || fail "appstreamcli rejects the metainfo"
    # Across the tree: the launchable names the desktop file that is really there.
    appstreamcli validate-tree --no-net --strict "$root" || fail "appstreamcli rejects the installed tree"
fi

man_text() { gzip -dc "$usr/share/man/man1/$1.1.gz"; }
for page in orvanta virtual-meter; do
    [ -f "$usr/share/man/man1/$page.1.gz" ] || continue
    warnings=$(man_text "$page" | LC_ALL=C.UTF-8 groff -k -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$page.1 has groff warnings: $warnings"
done
for n in 1 2 3 4; do
    man_text orvanta | grep -q "ORVANTA_COM$n" || fail "orvanta.1 does not name ORVANTA_COM$n"
done

# --- The unpacked programs -----------------------------------------------------------------
# Qt comes from the system paths, as on a technician's machine.
unset LD_LIBRARY_PATH QT_PLUGIN_PATH QT_LOGGING_RULES
help=$("$usr/bin/virtual-meter" --help) || fail "virtual-meter --help exits $?"
[[ "$help" == "Usage: virtual-meter"* ]] || fail "virtual-meter --help prints no usage"
# Every option the program lists is in its man page.
for option in $(grep -oE '^ +--[a-z-]+' <<<"$help" | tr -d ' ' | sort -u); do
    man_text virtual-meter | grep -qF -- "${option//-/\\-}" || fail "virtual-meter.1 lacks $option"
done

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}
alive() { kill -0 "$1" 2>/dev/null; }

link=$scratch/com1
"$usr/bin/virtual-meter" --model 4 --link "$link" >"$scratch/meter.out" 2>"$scratch/meter.err" &
meter_pid=$!
wait_for 10 test -L "$link" || { cat "$scratch/meter.err" >&2; die "virtual-meter made no $link"; }

runtime=$scratch/runtime
mkdir -m 700 "$runtime"
# The accessibility cache logs each widget the first time it is shown; the main window
# (TForm1) logged without "invisible" means its window came up.
QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES='qt.accessibility.cache.debug=true' \
    XDG_RUNTIME_DIR=$runtime ORVANTA_COM1=$link \
    "$usr/bin/orvanta" >"$scratch/orvanta.out" 2>"$scratch/orvanta.err" &
app_pid=$!
shown() { grep 'obj=TForm1(' "$scratch/orvanta.err" | grep -qv invisible; }
if wait_for 20 shown; then
    # The window's first activation and whatever follows it run in the event loop: it must
    # still be there a while later.
    sleep 2
    if alive "$app_pid"; then
        kill -TERM "$app_pid"
        wait "$app_pid"
        status=$?
        # No handler for SIGTERM: 143 is death by that signal, not by a crash.
        [ "$status" -eq 143 ] || [ "$status" -eq 0 ] || fail "orvanta ended with $status on SIGTERM"
    else
        wait "$app_pid"
        fail "orvanta ended by itself with $? after its window came up"
    fi
else
    alive "$app_pid" && kill -TERM "$app_pid"
    wait "$app_pid"
    fail "orvanta's main window did not come up (exit $?)"
fi
app_pid=""
[ "$failures" -eq 0 ] || { echo "orvanta's standard error:" >&2; grep -v '^qt.accessibility' "$scratch/orvanta.err" >&2; }

alive "$meter_pid" || fail "virtual-meter ended early: $(cat "$scratch/meter.err")"
kill -TERM "$meter_pid"
wait "$meter_pid"
status=$?
meter_pid=""
[ "$status" -eq 0 ] || fail "virtual-meter ended with $status on SIGTERM"
[ -L "$link" ] && fail "virtual-meter left $link behind"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; files in $scratch" >&2
    exit 1
fi
echo "orvanta_${version}_${arch}.deb: all checks passed"

#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what a user gets: the
# layout, the installed QuorvelCLI run from there, the udev rules and the
# Debian package.
#   install_test.sh BUILD_DIR VERSION RULES_FILE DEVICE_PAIRS_PROGRAM
set -uo pipefail

build=$1
version=$2
rules_src=$3
mapfile -t pairs < <("$4") || exit 1
[ ${#pairs[@]} -gt 0 ] || { echo "FAIL: $4 listed no devices" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
need() { command -v "$1" >/dev/null || { echo "FAIL: $1 is missing (scripts/setup.sh installs it)" >&2; exit 1; }; }
need cmake; need cpack; need dpkg-deb; need dpkg-shlibdeps; need file; need readelf; need gzip

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-install.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
# A blank and a non-ASCII letter: the programs must work from any prefix.
prefix="$work/pre fix ü"
export XDG_CONFIG_HOME="$work/config"
unset QUORVEL_DATA_DIR

# --- Install -----------------------------------------------------------------
if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    echo "FAIL: cmake --install (is the build complete?)" >&2
    exit 1
fi

# --- Layout ------------------------------------------------------------------
for f in bin/QuorvelCLI lib/udev/rules.d/70-quorvel.rules lib/modules-load.d/quorvel.conf \
         share/man/man1/QuorvelCLI.1.gz share/quorvel/README.txt; do
    [ -f "$prefix/$f" ] || fail "not installed: $f"
done
for d in share/quorvel/ISP_USB share/quorvel/ISP_AUX; do
    if [ ! -d "$prefix/$d" ]; then
        fail "not installed: $d/"
    elif [ -n "$(ls -A "$prefix/$d")" ]; then
        fail "$d/ is not empty: $(ls -A "$prefix/$d" | tr '\n' ' ')"
    fi
done
# Loader images come only from the chip maker.
stray=$(find "$prefix" -name '*.bin')
[ -z "$stray" ] || fail "loader or firmware images installed: $stray"
cmp -s "$rules_src" "$prefix/lib/udev/rules.d/70-quorvel.rules" || fail "installed rules differ from $rules_src"
# The display road needs i2c-dev loaded at boot.
grep -qx 'i2c-dev' "$prefix/lib/modules-load.d/quorvel.conf" 2>/dev/null ||
    fail "lib/modules-load.d/quorvel.conf does not load i2c-dev"

for program in "$prefix"/bin/*; do
    [ -x "$program" ] || fail "not executable: $program"
    file -b "$program" | grep -q ELF || continue
    # The installed program must not lean on the build tree.
    if readelf -d "$program" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
        fail "$(basename "$program") keeps a run path into the build tree"
    fi
    if ldd "$program" | grep -q 'not found'; then
        fail "$(basename "$program") has unresolved libraries: $(ldd "$program" | grep 'not found')"
    fi
done

# uaccess tags are turned into ACLs by 73-seat-late.rules; ours must come first.
for rules in "$prefix"/lib/udev/rules.d/*.rules; do
    name=$(basename "$rules")
    first=$(printf '%s\n' 73-seat-late.rules "$name" | LC_ALL=C sort | head -n 1)
    [ "$first" = "$name" ] ||
        fail "$name sorts after 73-seat-late.rules: its uaccess tags would come too late"
done

# --- Rules -------------------------------------------------------------------
bash "$here/check_udev_rules.sh" "$prefix/lib/udev/rules.d/70-quorvel.rules" "${pairs[@]}" ||
    fail "udev rules"
# The checker must itself see faults: each broken copy has to be refused.
broken=(
    's/idVendor}=="7e51", ATTR{idProduct}=="6210"/idVendor}=="7E51", ATTR{idProduct}=="6210"/'
    '/idVendor}=="6a3c", ATTR{idProduct}=="6121"/d'
    's/idVendor}=="6a3c", ATTR{idProduct}=="6211"/idVendor}=="6a3c", ATTR{idProduct}=="6212"/'
    's/^SUBSYSTEM=="i2c-dev", SUBSYSTEMS==/SUBSYSTEM=="i2c-dev", SUBSYSTEM==/'
    's/TAG+="uaccess"$/TAG+="uacces"/'
    's/^ACTION==/ACTON==/'
    's/^LABEL=.*$//'
    's/", TAG+=/" TAG+=/'
)
for edit in "${broken[@]}"; do
    sed "$edit" "$rules_src" >"$work/broken.rules"
    if cmp -s "$rules_src" "$work/broken.rules"; then
        fail "rules checker self-test: '$edit' changed nothing"
    elif bash "$here/check_udev_rules.sh" "$work/broken.rules" "${pairs[@]}" 2>/dev/null; then
        fail "rules checker accepted a broken file ($edit)"
    fi
done

# --- Man page ----------------------------------------------------------------
man_gz="$prefix/share/man/man1/QuorvelCLI.1.gz"
if gzip -t "$man_gz" 2>/dev/null; then
    gzip -dc "$man_gz" | grep -q "^\.TH QUORVELCLI 1 .*\"Quorvel $version\"" ||
        fail "man page header does not name Quorvel $version"
    if command -v groff >/dev/null; then
        warnings=$(gzip -dc "$man_gz" | groff -man -Tutf8 -ww -z 2>&1)
        [ -z "$warnings" ] || fail "man page warnings: $warnings"
    fi
else
    fail "man page is not a valid gzip file"
fi

# --- The installed QuorvelCLI ------------------------------------------------
# Run from / so that nothing depends on the working folder.
if out=$(cd / && timeout 30 "$prefix/bin/QuorvelCLI" --version 2>&1); then
    grep -qxF "Software Version: $version" <<<"$out" ||
        fail "installed QuorvelCLI --version does not print $version: $out"
else
    fail "installed QuorvelCLI --version failed (status $?): $out"
fi

# ---------------------------------------------------------------------------
# The installed programs against an emulated chip. The program keeps its own
# data folder (QUORVEL_DATA_DIR unset), so the upgrade only succeeds when the
# installed QuorvelCLI finds the loader in <prefix>/share/quorvel.
emulate="$prefix/bin/quorvel-emulate"
if [ -x "$emulate" ]; then
    if out=$(cd / && env -u QUORVEL_DATA_DIR XDG_CONFIG_HOME="$work/config" timeout 120 \
                 "$emulate" -- "$prefix/bin/QuorvelCLI" --product 2>&1); then
        grep -qF "Firmware Version of Product" <<<"$out" ||
            fail "installed QuorvelCLI --product under quorvel-emulate read no version: $out"
    else
        fail "installed quorvel-emulate -- QuorvelCLI --product failed (status $?): $out"
    fi
    loaders="$work/loaders"
    "$emulate" --make-loaders "$loaders" 2>/dev/null || fail "quorvel-emulate --make-loaders"
    "$emulate" --make-firmware "$work/fw.bin" 2>/dev/null || fail "quorvel-emulate --make-firmware"
    cp "$loaders/ISP_USB/ISP_USB_VB.bin" "$prefix/share/quorvel/ISP_USB/"
    out=$(cd / && env -u QUORVEL_DATA_DIR XDG_CONFIG_HOME="$work/config" timeout 120 \
              "$emulate" --own-data-dir --product 0x6221 -- "$prefix/bin/QuorvelCLI" --firmware "$work/fw.bin" 2>&1) ||
        fail "installed QuorvelCLI --firmware under quorvel-emulate failed: $out"
    grep -qF "flash equals $work/fw.bin" <<<"$out" || fail "the installed upgrade did not write the file: $out"
    grep -qxF "ISPFilePath=$prefix/share/quorvel/ISP_USB/ISP_USB_VB.bin" "$work/config/Quorvel/QuorvelCLI.conf" ||
        fail "the installed QuorvelCLI did not take its loader from its data folder: $(cat "$work/config/Quorvel/QuorvelCLI.conf")"
    rm -f "$prefix/share/quorvel/ISP_USB/ISP_USB_VB.bin"
else
    fail "quorvel-emulate was not installed"
fi
# --- end of HOOK -----------------------------------------------------------

# --- Debian package ----------------------------------------------------------
if ! (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg") >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    fail "cpack -G DEB"
else
    debs=("$work"/pkg/quorvel_"$version"_*.deb)
    if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
        fail "cpack made no single quorvel_${version}_*.deb: $(ls "$work/pkg")"
    else
        deb=${debs[0]}
        echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
        listing=$(dpkg-deb -c "$deb")
        echo "$listing"
        for entry in ./usr/bin/QuorvelCLI ./usr/lib/udev/rules.d/70-quorvel.rules ./usr/lib/modules-load.d/quorvel.conf \
                     ./usr/share/man/man1/QuorvelCLI.1.gz ./usr/share/quorvel/README.txt \
                     ./usr/share/quorvel/ISP_USB/ ./usr/share/quorvel/ISP_AUX/; do
            grep -qE " $(sed 's/[.]/[.]/g' <<<"$entry")\$" <<<"$listing" || fail "package lacks $entry"
        done
        ! grep -qE '\.bin$' <<<"$listing" || fail "package holds .bin images"
        ! awk '{print $2}' <<<"$listing" | grep -qv '^root/root$' || fail "package files not owned by root"

        [ "$(dpkg-deb -f "$deb" Package)" = quorvel ] || fail "package name"
        [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
        depends=$(dpkg-deb -f "$deb" Depends)
        echo "Depends: $depends"
        for lib in libusb-1.0-0 libqt6core6 libc6; do
            grep -qE "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends lacks $lib (dpkg-shlibdeps)"
        done
        dpkg-deb -e "$deb" "$work/control"
        if [ -x "$work/control/postinst" ]; then
            sh -n "$work/control/postinst" || fail "postinst does not parse"
            grep -q 'udevadm control --reload-rules' "$work/control/postinst" || fail "postinst does not reload udev"
        else
            fail "package has no executable postinst"
        fi
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)" >&2
    exit 1
fi
echo "install test passed"

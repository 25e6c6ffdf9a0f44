#!/usr/bin/env bash
# Checks what users and distributions get from the build: the desktop entry,
# the AppStream metainfo, the Windows resource, the installed tree and the
# package built from debian/.
#
#   check_packaging.sh desktop_file|metainfo|windows_resource|install|deb|deb_install SOURCE_DIR BINARY_DIR
set -euo pipefail

usage() {
    echo "usage: $0 desktop_file|metainfo|windows_resource|install|deb|deb_install SOURCE_DIR BINARY_DIR" >&2
    exit 2
}
[[ $# -eq 3 ]] || usage
check=$1
src=$(cd "$2" && pwd)
bin=$(cd "$3" && pwd)

app_id=com.example.molan_recorder
desktop=$src/resources/molan-recorder.desktop
metainfo=$src/resources/molan-recorder.metainfo.xml

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
# Reports NAME as passed when no failure was added since the count BEFORE.
pass_since() { [[ $failures -gt $1 ]] || pass "$2"; }
need() {
    command -v "$1" >/dev/null || { echo "FAIL: $1 not found (Debian package $2)" >&2; exit 1; }
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The value of KEY in the [Desktop Entry] group of a desktop file.
desktop_value() {
    awk -F= -v key="$2" '
        /^\[/ { group = $0; next }
        group == "[Desktop Entry]" && $1 == key { sub(/^[^=]*=/, ""); print; exit }' "$1"
}

# The version of the newest release listed in the metainfo.
metainfo_release() {
    python3 - "$1" <<'EOF'
import sys, xml.etree.ElementTree as ET
release = ET.parse(sys.argv[1]).getroot().find("releases/release")
print(release.get("version") if release is not None else "")
EOF
}

check_desktop_file() {
    need desktop-file-validate desktop-file-utils
    local out
    # Warnings are printed but do not change the exit status, so fail on any output.
    if out=$(desktop-file-validate "$desktop" 2>&1) && [[ -z $out ]]; then
        pass "desktop-file-validate is silent"
    else
        fail "desktop-file-validate: ${out:-exit status}"
    fi

    local before=$failures
    [[ $(desktop_value "$desktop" Name) == 墨岚录音软件 ]] || fail "Name is not 墨岚录音软件"
    [[ $(desktop_value "$desktop" 'Name[zh_CN]') == 墨岚录音软件 ]] || fail "Name[zh_CN] is not 墨岚录音软件"
    local key
    for key in GenericName 'GenericName[zh_CN]' Comment 'Comment[zh_CN]' Keywords; do
        [[ -n $(desktop_value "$desktop" "$key") ]] || fail "$key is missing"
    done
    [[ $(desktop_value "$desktop" Comment) != *[^[:ascii:]]* ]] || fail "Comment is not plain English text"
    [[ $(desktop_value "$desktop" 'Comment[zh_CN]') =~ [墨录音] ]] || fail "Comment[zh_CN] is not Chinese"
    [[ $(desktop_value "$desktop" Exec) == molan-recorder ]] || fail "Exec is not molan-recorder"
    [[ $(desktop_value "$desktop" Icon) == molan-recorder ]] || fail "Icon is not molan-recorder"
    [[ $(desktop_value "$desktop" Terminal) == false ]] || fail "Terminal is not false"
    [[ $(desktop_value "$desktop" Categories) == *Recorder* ]] || fail "Categories lacks Recorder"
    pass_since "$before" "desktop entry keys"
}

check_metainfo() {
    need appstreamcli appstream
    local out
    if out=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1); then
        # Pedantic notes do not fail validation; show them, but only errors and warnings count.
        echo "$out"
        if grep -qE '^[EW]:' <<<"$out"; then fail "appstreamcli reports errors or warnings"; fi
        pass "appstreamcli validate"
    else
        echo "$out" >&2
        fail "appstreamcli validate"
    fi

    if python3 - "$metainfo" "$app_id" <<'EOF'
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
app_id = sys.argv[2]
lang = "{http://www.w3.org/XML/1998/namespace}lang"
problems = []
def texts(tag):
    return {e.get(lang, "C"): (e.text or "").strip() for e in root.findall(tag)}
if root.findtext("id") != app_id:
    problems.append(f"id is {root.findtext('id')!r}, not {app_id!r}")
if root.findtext("launchable") != app_id + ".desktop":
    problems.append("launchable does not name the installed desktop file")
if texts("name").get("C") != "墨岚录音软件":
    problems.append("name is not 墨岚录音软件")
for tag in ("summary", "name"):
    if not texts(tag).get("zh_CN"):
        problems.append(f"no zh_CN {tag}")
if not root.findall("screenshots/screenshot/image"):
    problems.append("no screenshot")
if root.findtext("project_license") != "MIT" or root.findtext("metadata_license") != "CC0-1.0":
    problems.append("licences are not MIT / CC0-1.0")
release = root.find("releases/release")
if release is None or release.get("version") != "1.00":
    problems.append("newest release is not 1.00")
for p in problems:
    print("FAIL:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
    then pass "metainfo content"; else fail "metainfo content"; fi
}

check_windows_resource() {
    need x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64
    need cpp cpp
    # The host preprocessor is enough for this file and spares the MinGW compiler.
    local object=$scratch/molan-recorder.res.o
    if ! x86_64-w64-mingw32-windres --preprocessor=cpp -O coff \
            "$src/resources/molan-recorder.rc" -o "$object"; then
        fail "windres cannot compile molan-recorder.rc"
        return
    fi
    pass "windres compiles molan-recorder.rc"

    # Each string value is stored as UTF-16LE: key, NUL, padding to four bytes, value, NUL.
    python3 - "$object" <<'EOF' || fail "version strings in the compiled resource"
import re, sys
data = open(sys.argv[1], "rb").read()
wanted = {
    "ProductName": "墨岚录音软件",
    "InternalName": "墨岚录音系统",
    "FileVersion": "1.00",
    "ProductVersion": "1.00",
    "OriginalFilename": "molan-recorder.exe",
}
def u16(text):
    return re.escape(text.encode("utf-16-le") + b"\0\0")
bad = 0
for key, value in wanted.items():
    if re.search(u16(key) + b"(?:\0\0)?" + u16(value), data):
        print(f"ok: {key} = {value}")
    else:
        print(f"FAIL: {key} is not {value!r} in the compiled resource", file=sys.stderr)
        bad += 1
# 080404b0: Chinese (PRC) strings in Unicode, and the matching translation entry.
if "080404b0".encode("utf-16-le") not in data:
    print("FAIL: no 080404b0 string block", file=sys.stderr); bad += 1
if not re.search(u16("Translation") + b"(?:\0\0)?" + re.escape(bytes.fromhex("0408b004")), data):
    print("FAIL: Translation is not 0x0804, 1200", file=sys.stderr); bad += 1
sys.exit(1 if bad else 0)
EOF

    # The icon Explorer shows: a group icon named IDI_ICON1 with the four sizes of the .ico.
    local listing
    listing=$(x86_64-w64-mingw32-windres -i "$object" -O rc)
    if grep -q '"IDI_ICON1" 14 /\* RT_GROUP_ICON \*/' <<<"$listing" \
            && grep -q 'Has 4 elements' <<<"$listing"; then
        pass "icon IDI_ICON1 with 4 sizes"
    else
        fail "no IDI_ICON1 group icon with 4 sizes in the compiled resource"
    fi
}

check_install() {
    local root=$scratch/root
    if ! DESTDIR=$root cmake --install "$bin" --prefix /usr >"$scratch/install.log" 2>&1; then
        cat "$scratch/install.log" >&2
        fail "cmake --install"
        return
    fi
    pass "cmake --install"

    local usr=$root/usr f before=$failures
    for f in bin/molan-recorder \
             share/applications/$app_id.desktop \
             share/metainfo/$app_id.metainfo.xml \
             share/icons/hicolor/48x48/apps/molan-recorder.png \
             share/icons/hicolor/scalable/apps/molan-recorder.svg \
             share/doc/molan-recorder/copyright \
             share/man/man1/molan-recorder.1 share/man/zh_CN/man1/molan-recorder.1; do
        [[ -f $usr/$f ]] || fail "$f is not installed"
    done
    [[ -x $usr/bin/molan-recorder ]] || fail "bin/molan-recorder is not executable"

    # What a desktop shell resolves from the installed entry.
    local entry=$usr/share/applications/$app_id.desktop
    if [[ -f $entry ]]; then
        local exec icon
        exec=$(desktop_value "$entry" Exec)
        icon=$(desktop_value "$entry" Icon)
        [[ -x $usr/bin/${exec%% *} ]] || fail "Exec=$exec is not an installed program"
        [[ -f $usr/share/icons/hicolor/48x48/apps/$icon.png ]] || fail "Icon=$icon has no 48x48 icon"
        [[ -f $usr/share/icons/hicolor/scalable/apps/$icon.svg ]] || fail "Icon=$icon has no scalable icon"
    fi
    local size
    for size in 16x16 32x32 48x48 64x64 128x128 256x256; do
        local png=$usr/share/icons/hicolor/$size/apps/molan-recorder.png
        [[ -f $png ]] || { fail "no $size icon"; continue; }
        local kind
        kind=$(file -b "$png")
        [[ $kind == "PNG image data, ${size/x/ x },"* ]] || fail "$size icon is $kind"
    done
    pass_since "$before" "installed files"

    # Software centres pair the metainfo with the desktop file by name.
    if command -v appstreamcli >/dev/null; then
        local out
        if out=$(appstreamcli validate-tree --no-net "$usr" 2>&1); then
            pass "appstreamcli validate-tree"
        else
            echo "$out" >&2
            fail "appstreamcli validate-tree"
        fi
    fi
}

# Builds the package from debian/ on this system (dpkg-buildpackage, as
# scripts/build-deb --here does; the clean-root builds are `make deb`). Once
# per run of the suite: the deb and deb_install checks share it. Its path
# goes into the variable `deb`, the .changes into `changes`.
build_deb() {
    need dpkg-buildpackage dpkg-dev
    need dh debhelper
    local out=$bin/packaging/deb
    local stamp=$out/.source-stamp current
    # What went into it: the files staged from the source tree, by content.
    current=$(cd "$src" && git ls-files -z --cached --others --exclude-standard 2>/dev/null |
        xargs -0 sha256sum 2>/dev/null | sha256sum | cut -c1-64)
    if [[ ! -f $stamp || $(cat "$stamp") != "$current" || -z $(ls "$out"/*.changes 2>/dev/null) ]]; then
        rm -rf "$out"
        mkdir -p "$out"
        # The suite has run the unit tests already.
        if ! DEB_BUILD_OPTIONS="nocheck parallel=2" nice -n 10 "$src/scripts/build-deb" --here --out "$out" \
            >"$scratch/build-deb.log" 2>&1; then
            cat "$scratch/build-deb.log" >&2
            fail "dpkg-buildpackage"
            return 1
        fi
        echo "$current" >"$stamp"
    fi
    local debs=("$out"/molan-recorder_*.deb)
    if [[ ${#debs[@]} -ne 1 || ! -f ${debs[0]} ]]; then
        fail "dpkg-buildpackage made ${#debs[@]} packages: ${debs[*]}"
        return 1
    fi
    deb=${debs[0]}
    changes=$(ls "$out"/*.changes)
}

check_deb() {
    need lintian lintian
    local deb changes
    build_deb || return
    echo "built $(basename "$deb")"
    [[ $(basename "$deb") == molan-recorder_1.00_*.deb ]] || fail "unexpected file name $(basename "$deb")"

    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "Depends: $depends"
    # Package names alone, space separated, without version constraints.
    local names package
    names=" $(sed 's/([^)]*)//g; s/[,|]/ /g' <<<"$depends" | tr -s ' ') "
    # Debian 13 renamed the Qt libraries (64-bit time): the package is for
    # the release it was built on.
    for package in libqt6widgets6 libsndfile1 libpulse0 fonts-arphic-uming; do
        [[ $names == *" $package "* || $names == *" ${package}t64 "* ]] || fail "Depends lacks $package"
    done
    [[ $(dpkg-deb -f "$deb" Package) == molan-recorder ]] || fail "Package is not molan-recorder"
    [[ $(dpkg-deb -f "$deb" Section) == sound ]] || fail "Section is not sound"
    [[ $(dpkg-deb -f "$deb" Description) == *墨岚录音软件* ]] || fail "Description has no Chinese line"

    # One version for the package, the metainfo release and the Windows resource.
    local version release
    version=$(dpkg-deb -f "$deb" Version)
    release=$(metainfo_release "$metainfo")
    [[ $version == "$release" ]] || fail "package version $version differs from metainfo release $release"

    local contents
    contents=$(dpkg-deb -c "$deb")
    local f
    for f in ./usr/bin/molan-recorder ./usr/share/applications/$app_id.desktop \
             ./usr/share/metainfo/$app_id.metainfo.xml \
             ./usr/share/icons/hicolor/48x48/apps/molan-recorder.png \
             ./usr/share/doc/molan-recorder/copyright ./usr/share/doc/molan-recorder/changelog.gz \
             ./usr/share/man/man1/molan-recorder.1.gz ./usr/share/man/zh_CN/man1/molan-recorder.1.gz; do
        grep -qF " $f" <<<"$contents" || fail "package lacks $f"
    done

    # The source package, the .deb and the .changes, as the archive would see them.
    local report
    report=$(lintian --no-cfg --pedantic -I "$changes" 2>&1 || true)
    [[ -n $report ]] && echo "$report"
    if grep -qE '^[EWP]:' <<<"$report"; then fail "lintian reports errors, warnings or pedantic tags"; else
        pass "lintian --pedantic: no error, warning or pedantic tag"; fi

    # The program is built hardened: PIE, stack protector, fortified libc
    # calls, read-only relocations bound at start. Not control-flow marking:
    # the C library's start files carry no CET note on Debian 12 or 13, so
    # the linker marks no program; nor ARM's branch protection, which Debian
    # 13's tool asks of any program.
    if command -v hardening-check >/dev/null; then
        local program=$scratch/hardened
        mkdir -p "$program"
        dpkg-deb -x "$deb" "$program"
        local hardening
        if hardening=$(hardening-check --nocfprotection $(hardening-check --help 2>&1 |
            grep -qe --nobranchprotection && echo --nobranchprotection) "$program/usr/bin/molan-recorder" 2>&1); then
            pass "hardening-check"
        else
            echo "$hardening" >&2
            fail "hardening-check"
        fi
    fi

    # Both manual pages read without a warning from man or groff.
    local page before_man=$failures
    for page in man1/molan-recorder.1.gz zh_CN/man1/molan-recorder.1.gz; do
        local extracted=$scratch/man-$RANDOM.1 warnings
        dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/share/man/$page" | gzip -dc >"$extracted" || {
            fail "no $page"
            continue
        }
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$extracted" 2>&1 >/dev/null)
        [[ -z $warnings ]] || fail "$page: $warnings"
        [[ $(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$extracted" 2>/dev/null) == *XDG_STATE_HOME/molan-recorder* ]] ||
            fail "$page does not tell where the recovery files are"
    done
    pass_since "$before_man" "manual pages read cleanly and tell where recovery files are"
}

# The package installs with apt on this system, and the program it installs
# starts and shows its window; then it is removed again. Only as root (or
# with sudo that asks no password), and never over an installed copy.
check_deb_install() {
    local sudo=() deb changes
    if [[ $(id -u) -ne 0 ]]; then
        sudo -n true 2>/dev/null || { echo "skipped: installing a package needs root or sudo -n"; exit 77; }
        sudo=(sudo -n)
    fi
    if [[ $(dpkg-query -W -f='${db:Status-Status}' molan-recorder 2>/dev/null) == installed ]]; then
        echo "skipped: molan-recorder is installed on this system already; it is left as it is"
        exit 77
    fi
    build_deb || return
    cp "$deb" "$scratch/install.deb"
    chmod 644 "$scratch/install.deb"
    chmod 755 "$scratch"
    # Waits, like scripts/setup, for any other apt at work on this system.
    apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive flock /var/lib/apt/lists
        apt-get -o DPkg::Lock::Timeout=1200)
    trap '"${apt[@]}" purge -y -qq molan-recorder >/dev/null 2>&1; rm -rf "$scratch"' EXIT
    if ! "${apt[@]}" install -y -qq --no-install-recommends \
        "$scratch/install.deb" >"$scratch/apt.log" 2>&1; then
        cat "$scratch/apt.log" >&2
        fail "apt-get install $(basename "$deb")"
        return
    fi
    pass "apt-get install $(basename "$deb")"
    [[ $(command -v molan-recorder) == /usr/bin/molan-recorder ]] || fail "molan-recorder is not on the PATH"
    local started=0
    "$src/scripts/session" -- python3 - "$src/scripts" <<'PY' || started=$?
import sys
sys.path.insert(0, sys.argv[1])
from driver import Recorder
recorder = Recorder("/usr/bin/molan-recorder")
recorder.close(recorder.main_window())
sys.exit(recorder.wait())
PY
    if ((started)); then fail "the installed program did not start and end cleanly ($started)"; else
        pass "the installed program starts, shows its window and ends"; fi
}

case $check in
    desktop_file) check_desktop_file ;;
    metainfo) check_metainfo ;;
    windows_resource) check_windows_resource ;;
    install) check_install ;;
    deb) check_deb ;;
    deb_install) check_deb_install ;;
    *) usage ;;
esac

if [[ $failures -gt 0 ]]; then
    echo "$check: $failures check(s) failed" >&2
    exit 1
fi

#!/usr/bin/env bash
# Checks what `cmake --install` and the Debian package deliver, in temporary
# folders only: nothing is installed into the system.
#
#   check_install.sh tree BUILD_DIR SAMPLES_DIR VERSION
#     the install tree: its files, the programs' --version, the dictionary
#     found from the installed tree, the desktop entry and AppStream file
#     validated, the MIME types and their handler as xdg-mime sees them, the
#     icons' sizes and the man pages rendered
#   check_install.sh deb BUILD_DIR VERSION
#     the package cpack makes: its files, its control fields and the
#     run-time dependencies dpkg-shlibdeps found
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
mode="$1"
build="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/dravik-install-XXXXXX")"
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The tools the checks use come from scripts/deps; a missing one is a failure.
need() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/deps installs it)"
  done
}

expected_files() {
  grep -v '^#' "$here/install-manifest.txt" | sed "s|^|$1|" | sort
}

# The files under a folder, compared with the manifest: a missing file and a
# stray one both fail.
compare_files() {
  local listed="$1" prefix="$2"
  if ! diff -u <(expected_files "$prefix") <(sort "$listed") >"$work/files.diff"; then
    fail "the files differ from install-manifest.txt (- missing, + not expected):"
    cat "$work/files.diff" >&2
  fi
}

check_tree() {
  local samples version="$2" prefix="$work/prefix"
  samples="$(cd "$1" && pwd)"
  need desktop-file-validate update-desktop-database appstreamcli update-mime-database xdg-mime mimetype man file
  cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 \
    || { cat "$work/install.log" >&2; fail "cmake --install failed"; return; }
  (cd "$prefix" && find . -type f -o -type l) | sed 's|^\./||' >"$work/listed"
  compare_files "$work/listed" ""

  # Each program names itself and the project's version, also where there
  # is no display (a terminal on a server, a script).
  local program expected
  for program in dravik dravik-dump dravik-export dravik-profiles dravik-savemsg pstgen ../libexec/dravik/dravik-mailcpl; do
    case "$program" in
      dravik) expected="Dravik $version" ;;
      *) expected="$(basename "$program") $version" ;;
    esac
    local out
    out="$(cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/$program" --version 2>/dev/null)" \
      || fail "$program --version exited with $?"
    [ "$out" = "$expected" ] || fail "$program --version printed '$out', not '$expected'"
  done

  # The installed dump finds the installed dictionary from a folder without
  # one: property names, not hexadecimal keys.
  local dump="$work/dump.txt"
  (cd "$work" && DRAVIK_MAPI_PROFILES="$work/profiles" "$prefix/bin/dravik-dump" --props \
      --file "$samples/pstsdk-sample1.pst" >"$dump" 2>"$work/dump.err") \
    || fail "the installed dravik-dump failed: $(cat "$work/dump.err")"
  grep -q 'PR_DISPLAY_NAME' "$dump" || fail "the installed dravik-dump did not find Dravik.ini"
  if grep -q 'Dravik.ini not found' "$work/dump.err"; then fail "dravik-dump: $(cat "$work/dump.err")"; fi

  desktop-file-validate "$prefix/share/applications/org.dravik.Dravik.desktop" >"$work/dfv" 2>&1
  [ $? -eq 0 ] && [ ! -s "$work/dfv" ] || fail "desktop-file-validate: $(cat "$work/dfv")"
  grep -qx 'Exec=dravik %f' "$prefix/share/applications/org.dravik.Dravik.desktop" \
    || fail "the desktop entry does not start 'dravik %f'"
  appstreamcli validate --no-net "$prefix/share/metainfo/org.dravik.Dravik.metainfo.xml" >"$work/as" 2>&1 \
    || fail "appstreamcli validate: $(cat "$work/as")"
  grep -q "release version=\"$version\"" "$prefix/share/metainfo/org.dravik.Dravik.metainfo.xml" \
    || fail "the AppStream file does not name release $version"

  # The MIME types in a data folder of their own, as a desktop sees them:
  # by name, and by content whatever the name.
  local data="$work/xdg-data" files="$work/files"
  mkdir -p "$data/mime/packages" "$files"
  cp "$prefix/share/mime/packages/org.dravik.Dravik.xml" "$data/mime/packages/"
  update-mime-database "$data/mime" >"$work/umd" 2>&1 || fail "update-mime-database: $(cat "$work/umd")"
  "$build/tools/pstgen/pstgen" demo "$files/demo store.data" >/dev/null || fail "pstgen demo failed"
  head -c 4096 "$samples/pst-extractor-outlookcom.ost" >"$files/offline.data"
  : >"$files/empty.pst"
  : >"$files/empty.ost"
  echo "not a store" >"$files/notes.data"
  cp "$samples/../msg/msgreader-simple.msg" "$files/message.data"
  local path want got
  while IFS='|' read -r path want; do
    got="$(env -u XDG_CURRENT_DESKTOP -u DESKTOP_SESSION -u KDE_FULL_SESSION -u GNOME_DESKTOP_SESSION_ID \
           XDG_DATA_HOME="$data" XDG_DATA_DIRS="$data:/usr/share" xdg-mime query filetype "$path" 2>/dev/null)"
    [ "$got" = "$want" ] || fail "xdg-mime query filetype $path: '$got', expected '$want'"
  done <<TABLE
$samples/pstsdk-sample1.pst|application/vnd.ms-outlook-pst
$samples/pst-extractor-outlookcom.ost|application/vnd.ms-outlook-ost
$files/demo store.data|application/vnd.ms-outlook-pst
$files/offline.data|application/vnd.ms-outlook-ost
$files/empty.pst|application/vnd.ms-outlook-pst
$files/empty.ost|application/vnd.ms-outlook-ost
$files/notes.data|text/plain
$samples/../msg/perl-charset.msg|application/vnd.ms-outlook
$files/message.data|application/vnd.ms-outlook
TABLE

  # A double click on a store starts Dravik: the desktop entry is the
  # handler of both types once the desktop's database knows it.
  mkdir -p "$data/applications"
  cp "$prefix/share/applications/org.dravik.Dravik.desktop" "$data/applications/"
  update-desktop-database "$data/applications" || fail "update-desktop-database refused the desktop entry"
  local type
  for type in application/vnd.ms-outlook-pst application/vnd.ms-outlook-ost application/vnd.ms-outlook; do
    got="$(env -u XDG_CURRENT_DESKTOP -u DESKTOP_SESSION -u KDE_FULL_SESSION -u GNOME_DESKTOP_SESSION_ID \
           XDG_DATA_HOME="$data" XDG_DATA_DIRS="$data:/usr/share" XDG_CONFIG_HOME="$work/config" \
           xdg-mime query default "$type" 2>/dev/null)"
    [ "$got" = "org.dravik.Dravik.desktop" ] || fail "xdg-mime query default $type: '$got'"
  done

  local size png
  for size in 16 22 24 32 48 64 128 256; do
    png="$prefix/share/icons/hicolor/${size}x${size}/apps/org.dravik.Dravik.png"
    file -b "$png" | grep -q "PNG image data, $size x $size" || fail "$png is not a $size pixel PNG: $(file -b "$png")"
  done

  # Each page renders without a warning and names its program.
  local page name
  for page in "$prefix"/share/man/man1/*.1.gz; do
    name="$(basename "$page" .1.gz)"
    MANWIDTH=80 man --warnings -l "$page" >"$work/man.txt" 2>"$work/man.err" || fail "man -l $page failed"
    [ ! -s "$work/man.err" ] || fail "man -l $page warns: $(cat "$work/man.err")"
    grep -q "^NAME" "$work/man.txt" && grep -Eq "^ +$name +- " "$work/man.txt" \
      || fail "man -l $page does not show the NAME of $name"
  done
}

check_deb() {
  local version="$1" out="$work/package"
  need cpack dpkg-deb dpkg-shlibdeps
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; return; }
  local deb
  deb="$(ls "$out"/*.deb 2>/dev/null)"
  [ "$(echo "$deb" | wc -l)" -eq 1 ] && [ -f "$deb" ] || { fail "cpack made no single .deb: $deb"; return; }
  [ "$(basename "$deb")" = "dravik_${version}_$(dpkg --print-architecture).deb" ] \
    || fail "package file name $(basename "$deb")"

  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||' >"$work/listed"
  compare_files "$work/listed" ""

  local field want got
  while read -r field want; do
    got="$(dpkg-deb -f "$deb" "$field")"
    [ "$got" = "$want" ] || fail "control field $field: '$got', expected '$want'"
  done <<TABLE
Package dravik
Version $version
Section mail
Architecture $(dpkg --print-architecture)
TABLE
  # dpkg-shlibdeps found the libraries the programs link to.
  local depends dep
  depends="$(dpkg-deb -f "$deb" Depends)"
  for dep in libc6 libstdc++6 zlib1g libqt6core6 libqt6gui6 libqt6widgets6 libqt6printsupport6 libgmime-3.0-0 libjemalloc2; do
    echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qxF "$dep" || fail "Depends lacks $dep: $depends"
  done

  # The packaged programs are stripped and run from the unpacked tree.
  dpkg-deb -x "$deb" "$work/root"
  file -b "$work/root/usr/bin/dravik" | grep -q ', stripped' || fail "usr/bin/dravik is not stripped"
  [ "$("$work/root/usr/bin/pstgen" --version)" = "pstgen $version" ] || fail "the packaged pstgen does not run"
}

case "$mode" in
  tree) check_tree "$3" "$4" ;;
  deb) check_deb "$3" ;;
  *) echo "usage: $0 tree BUILD_DIR SAMPLES_DIR VERSION | deb BUILD_DIR VERSION" >&2; exit 2 ;;
esac
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all $mode checks passed"

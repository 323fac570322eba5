#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the build into a staging prefix and checks what the desktop and a
# packager see: both programs; the desktop entry and the AppStream metainfo,
# valid and naming each other and the icon by one application id; the icon
# at every size in the hicolor theme; manual pages that render without a
# warning and document every option the renderer accepts; no run path into
# the build tree.
#   staged_install.sh BUILD_DIR STAGE_DIR APP_ID VERSION WITH_APP BINDIR DATADIR MANDIR
set -uo pipefail
build=$1 stage=$2 id=$3 version=$4 with_app=$5
bindir=$stage/$6 datadir=$stage/$7 mandir=$stage/$8

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for tool in desktop-file-validate appstreamcli man groff readelf; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/setup.sh installs it)"; exit 1; }
done

. "$(dirname "$0")/manifest_guard.sh"
keep_manifest "$build"

rm -rf "$stage"
if ! cmake --install "$build" --prefix "$stage" > "$stage.log" 2>&1; then
  cat "$stage.log"
  echo "FAIL: cmake --install into $stage"
  exit 1
fi

# Every installed file must be in the manifest, so that uninstalling removes it.
while IFS= read -r f; do
  grep -qxF "$f" "$manifest" || fail "$f is installed but not in install_manifest.txt"
done < <(find "$stage" -type f)

programs=(sorvane-render)
[ "$with_app" = 1 ] && programs+=(sorvane)
for p in "${programs[@]}"; do
  [ -x "$bindir/$p" ] || { fail "$bindir/$p is missing or not executable"; continue; }
  if readelf -d "$bindir/$p" | grep -qE 'R(UN)?PATH'; then
    fail "$p keeps a run path: $(readelf -d "$bindir/$p" | grep -E 'R(UN)?PATH')"
  fi
done

# Manual pages: present, rendered by man and by groff without a warning.
for p in "${programs[@]}"; do
  page=$mandir/man1/$p.1
  [ -f "$page" ] || { fail "$page is missing"; continue; }
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2> "$stage.man.err")
  [ -s "$stage.man.err" ] && fail "man warns about $p.1: $(cat "$stage.man.err")"
  grep -q '^NAME' <<< "$out" && grep -q "^       $p " <<< "$out" \
    || fail "$p.1 renders without a NAME section naming $p"
  warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
  [ -n "$warnings" ] && fail "groff warns about $p.1: $warnings"
done

# The renderer's manual documents every option its usage message lists
# (printed for --help, or with the complaint about an unknown option).
render_page=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$mandir/man1/sorvane-render.1" 2>/dev/null)
usage=$("$bindir/sorvane-render" --help 2>&1)
options=$(grep -oE -- '--[a-z][a-z-]*' <<< "$usage" | sort -u)
[ "$(wc -l <<< "$options")" -gt 2 ] || fail "sorvane-render --help lists no options: $usage"
for o in $options; do
  grep -qE -- "(^|[^a-z-])$o([^a-z-]|$)" <<< "$render_page" || fail "sorvane-render.1 does not document $o"
done

if [ "$with_app" = 1 ]; then
  desktop=$datadir/applications/$id.desktop
  metainfo=$datadir/metainfo/$id.metainfo.xml
  icons=$datadir/icons/hicolor

  if [ -f "$desktop" ]; then
    out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate refuses $id.desktop"
    [ -n "$out" ] && fail "desktop-file-validate: $out"
    grep -qx "Icon=$id" "$desktop" || fail "$id.desktop does not name the icon $id"
    exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    [ -x "$bindir/$exec_name" ] || fail "$id.desktop starts '$exec_name', which is not installed"
  else
    fail "$desktop is missing"
  fi

  if [ -f "$metainfo" ]; then
    # The tree check also finds the desktop entry the metainfo launches.
    out=$(appstreamcli validate-tree --no-net --strict "$stage" 2>&1) || fail "appstreamcli validate-tree: $out"
    grep -q "<id>$id</id>" "$metainfo" || fail "the metainfo's id is not $id"
    grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" \
      || fail "the metainfo does not launch $id.desktop"
    grep -q "<release version=\"$version\"" "$metainfo" \
      || fail "the metainfo has no release $version, the project's version"
  else
    fail "$metainfo is missing"
  fi

  [ -f "$icons/scalable/apps/$id.svg" ] || fail "the scalable icon is missing"
  for size in 48 64 128 256; do
    png=$icons/${size}x${size}/apps/$id.png
    [ -f "$png" ] || { fail "the ${size}x${size} icon is missing"; continue; }
    # The PNG header's width and height, big-endian, at bytes 16 and 20.
    read -r w h < <(od -An -tu4 --endian=big -j16 -N8 "$png")
    [ "$w" = "$size" ] && [ "$h" = "$size" ] || fail "the ${size}x${size} icon is ${w}x${h}"
  done
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "staged install in $stage: all checks passed"

#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A per-user install, as the docs give it (`cmake --install build --prefix
# ~/.local`), into a stand-in home folder, checked the way the user's tools
# find the result: the programs in ~/.local/bin, `man -w` finding both manual
# pages with ~/.local/bin on PATH and no MANPATH, the LV2 bundle in ~/.lv2
# where lilv finds it without LV2_PATH; then the docs' uninstall removes every
# file the install wrote.
#   user_install.sh BUILD_DIR HOME_DIR WITH_APP WITH_PLUGIN PLUGIN_URI
set -uo pipefail
build=$1 home=$2 with_app=$3 with_plugin=$4 uri=$5
prefix=$home/.local

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

tools=(man)
[ "$with_plugin" = 1 ] && tools+=(lv2info)
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/setup.sh --tests installs it)"; exit 1; }
done

. "$(dirname "$0")/manifest_guard.sh"
keep_manifest "$build"

rm -rf "$home"
mkdir -p "$home"
# The user's environment: a home, ~/.local/bin on PATH (Debian's ~/.profile
# adds it once it exists), no MANPATH or LV2_PATH of their own.
as_user() {
  env -u MANPATH -u LV2_PATH HOME="$home" PATH="$prefix/bin:/usr/bin:/bin" "$@"
}
if ! as_user cmake --install "$build" --prefix "$prefix" > "$home.log" 2>&1; then
  cat "$home.log"
  echo "FAIL: cmake --install --prefix $prefix"
  exit 1
fi

programs=(sorvane-render)
[ "$with_app" = 1 ] && programs+=(sorvane)
for p in "${programs[@]}"; do
  [ "$(as_user sh -c "command -v $p")" = "$prefix/bin/$p" ] || fail "$p is not found on PATH in $prefix/bin"
  page=$(as_user man -w "$p" 2>&1)
  [ "$page" = "$prefix/share/man/man1/$p.1" ] \
    || fail "man -w $p with $prefix/bin on PATH gives '$page', not $prefix/share/man/man1/$p.1"
done

if [ "$with_plugin" = 1 ]; then
  [ -f "$home/.lv2/sorvane.lv2/manifest.ttl" ] || fail "the LV2 bundle is not in ~/.lv2"
  [ -e "$prefix/lib/lv2" ] && fail "a bundle went to $prefix/lib/lv2, where LV2 hosts do not look"
  bundle=$(as_user lv2info "$uri" 2>&1 | sed -n 's/^[[:space:]]*Bundle:[[:space:]]*//p')
  [ "$bundle" = "file://$home/.lv2/sorvane.lv2/" ] \
    || fail "lilv without LV2_PATH finds the plugin in '$bundle', not in ~/.lv2"
fi

# Uninstalling as the docs say removes every file the install wrote.
xargs rm -f < "$manifest"
left=$(find "$home" \( -type f -o -type l \))
[ -z "$left" ] || fail "files left after the uninstall: $left"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "per-user install in $home: all checks passed"

#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian packages from this tree (debian/, dpkg-buildpackage -b),
# checks them with lintian (no error, no warning that is not overridden), and
# tries them in a clean Debian tree of the machine's release made with
# debootstrap: `apt-get install ./*.deb` with their dependencies, then
# `sorvane --version`, `sorvane-render --help`, `man -w sorvane`, `lv2ls`
# listing the plugin from the multiarch LV2 folder; then a purge, after which
# the tree holds the same files as before the install.
#
#   package-test.sh [WORK_DIR]     (default: build-package beside the sources)
#
# The package build compiles the project once more, in a copy of the sources
# under WORK_DIR (dh builds in its obj-* folder), never touching build/; ccache
# serves it where installed. The debootstrapped tree is kept as a tarball in
# /var/cache/sorvane-test (or ~/.cache/sorvane-test when that is not
# writable), the packages apt downloads into it beside it; delete them to
# start afresh. Needs root (debootstrap, chroot) or sudo without a password,
# and the machine's Debian mirror. Exits 77 when it cannot run at all.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$src/build-package}
mkdir -p "$work"
work=$(cd "$work" && pwd)

say() { printf '== %s\n' "$*"; }
skip() { echo "package test not run: $*" >&2; exit 77; }

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    as_root=(sudo -n)
  else
    skip "debootstrap and chroot need root or sudo without a password"
  fi
fi
for tool in dpkg-buildpackage dh lintian debootstrap; do
  command -v "$tool" >/dev/null || PATH=$PATH:/usr/sbin command -v "$tool" >/dev/null \
    || { echo "$tool is not installed (scripts/setup.sh --tests installs it)" >&2; exit 1; }
done
export PATH=$PATH:/usr/sbin:/sbin

# The machine's release and the mirrors apt uses for it.
. /etc/os-release
codename=${VERSION_CODENAME:-}
[ "${ID:-}" = debian ] && [ -n "$codename" ] || skip "this is not Debian (/etc/os-release: ${PRETTY_NAME:-?})"
arch=$(dpkg --print-architecture)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
# "URI SUITE" for each main-component deb source of this release, from
# sources.list and sources.list.d (one-line and deb822 formats).
host_sources() {
  python3 - "$codename" <<'EOF'
import glob, sys
codename = sys.argv[1]
suites = {codename, codename + "-updates", codename + "-security"}
entries = []
def add(types, uris, dists, comps):
    if "deb" in types and "main" in comps:
        entries.extend((u.rstrip("/"), d) for u in uris for d in dists if d in suites)
for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
    try:
        lines = open(path).read().splitlines()
    except OSError:
        continue
    for line in lines:
        words = line.split("#")[0].split()
        if len(words) >= 4 and words[0] == "deb":
            if words[1].startswith("["):  # options: [arch=... signed-by=...]
                while words and not words[0].endswith("]"):
                    words.pop(0)
                words = ["deb"] + words[1:]
            if len(words) >= 4:
                add({"deb"}, [words[1]], [words[2]], set(words[3:]))
for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
    for stanza in open(path).read().split("\n\n"):
        fields = {}
        for line in stanza.splitlines():
            if ":" in line and not line.startswith((" ", "\t", "#")):
                key, value = line.split(":", 1)
                fields[key.strip().lower()] = value.split()
        if fields.get("enabled", ["yes"])[0].lower() == "no":
            continue
        add(set(fields.get("types", [])), fields.get("uris", []), fields.get("suites", []),
            set(fields.get("components", [])))
seen = set()
for uri, dist in entries:
    if (uri, dist) not in seen:
        seen.add((uri, dist))
        print(uri, dist)
EOF
}
sources=$(host_sources)
mirror=$(awk -v d="$codename" '$2 == d { print $1; exit }' <<<"$sources")
if [ -z "$mirror" ]; then
  # apt's own default for Debian.
  mirror=http://deb.debian.org/debian
  sources="$mirror $codename"
fi

# The cache: the clean tree as a tarball, and the packages apt downloaded.
cache=/var/cache/sorvane-test
if ! "${as_root[@]}" mkdir -p "$cache" 2>/dev/null; then
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/sorvane-test
  "${as_root[@]}" mkdir -p "$cache"
fi
tarball=$cache/debian-$codename-$arch-minbase.tar.gz
archives=$cache/archives-$codename-$arch
"${as_root[@]}" mkdir -p "$archives"

version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
upstream=${version%-*}

# --- the packages ---
say "building the packages $version in $work/src"
rm -rf "$work/src"
tree=$work/src/sorvane-$upstream
mkdir -p "$tree"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # What the tree holds now, committed or not, without what git ignores.
  (cd "$src" && git ls-files -z --cached --others --exclude-standard \
     | xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh \
     | tar --null -T - -cf -) | tar -C "$tree" -xf -
else
  tar -C "$src" --exclude='./build*' --exclude='./obj-*' --exclude=./.git -cf - . | tar -C "$tree" -xf -
fi
if command -v ccache >/dev/null && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
  # debhelper gives the build a HOME of its own, inside the tree: name the
  # user's cache, or every build starts with an empty one.
  CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)}
  export CCACHE_DIR
fi
export DEB_BUILD_OPTIONS="parallel=${SORVANE_PACKAGE_JOBS:-2} nocheck noautodbgsym"
if ! (cd "$tree" && dpkg-buildpackage -b -us -uc) > "$work/dpkg-buildpackage.log" 2>&1; then
  tail -n 60 "$work/dpkg-buildpackage.log"
  echo "FAIL: dpkg-buildpackage (the whole log: $work/dpkg-buildpackage.log)"
  exit 1
fi
grep -E '^dpkg-deb: building package' "$work/dpkg-buildpackage.log"
changes=$(ls "$work"/src/sorvane_"${version}"_"$arch".changes)
debs=("$work"/src/sorvane_"${version}"_"$arch".deb "$work"/src/sorvane-lv2_"${version}"_"$arch".deb)

say "lintian"
# The overridden tags are shown with their reasons (O:); what fails is an
# error or a warning (E:, W:) that no override explains.
lintian --fail-on none --display-level '>=warning' --show-overrides "$changes" > "$work/lintian.log" 2>&1 \
  || { cat "$work/lintian.log"; echo "FAIL: lintian did not run"; exit 1; }
cat "$work/lintian.log"
! grep -qE '^[EW]: ' "$work/lintian.log" || { echo "FAIL: lintian reports an error or a warning without an override"; exit 1; }

# --- the clean tree ---
if [ ! -f "$tarball" ]; then
  say "debootstrap $codename ($arch) from $mirror into the cache $tarball"
  fresh=$work/debootstrap
  "${as_root[@]}" rm -rf "$fresh"
  "${as_root[@]}" debootstrap --variant=minbase --arch="$arch" "$codename" "$fresh" "$mirror" \
    > "$work/debootstrap.log" 2>&1 || { tail -n 30 "$work/debootstrap.log"; echo "FAIL: debootstrap"; exit 1; }
  "${as_root[@]}" tar -C "$fresh" -czf "$tarball.part" .
  "${as_root[@]}" mv "$tarball.part" "$tarball"
  "${as_root[@]}" rm -rf "$fresh"
fi
root=$work/root
"${as_root[@]}" rm -rf "$root"
mkdir -p "$root"
"${as_root[@]}" tar -C "$root" -xpzf "$tarball"
in_root() { "${as_root[@]}" chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
  DEBIAN_FRONTEND=noninteractive "$@"; }
# The machine's mirrors and name service; no service starts in the tree.
awk '{ print "deb " $1 " " $2 " main" }' <<<"$sources" | "${as_root[@]}" tee "$root/etc/apt/sources.list" >/dev/null
"${as_root[@]}" cp -L /etc/resolv.conf "$root/etc/resolv.conf"
printf '#!/bin/sh\nexit 101\n' | "${as_root[@]}" tee "$root/usr/sbin/policy-rc.d" >/dev/null
"${as_root[@]}" chmod 755 "$root/usr/sbin/policy-rc.d"
"${as_root[@]}" find "$archives" -name '*.deb' -exec cp -t "$root/var/cache/apt/archives/" {} +

apt_get=(apt-get -y -q -o APT::Keep-Downloaded-Packages=true)
# The cached tree brought up to date first, so that installing the packages
# upgrades nothing (an upgrade could add files the purge rightly keeps).
say "the tree brought up to date; the tools the checks use: man-db, lilv-utils"
in_root "${apt_get[@]}" update > "$work/apt.log" 2>&1 || { cat "$work/apt.log"; echo "FAIL: apt-get update in the tree"; exit 1; }
in_root "${apt_get[@]}" dist-upgrade >> "$work/apt.log" 2>&1 \
  || { tail -n 30 "$work/apt.log"; echo "FAIL: apt-get dist-upgrade in the tree"; exit 1; }
in_root "${apt_get[@]}" install --no-install-recommends man-db lilv-utils >> "$work/apt.log" 2>&1 \
  || { tail -n 30 "$work/apt.log"; echo "FAIL: installing man-db and lilv-utils in the tree"; exit 1; }

# Every file and link of the tree but what apt, dpkg and the logs change.
tree_files() {
  "${as_root[@]}" find "$root" -xdev \( -path "$root/proc" -o -path "$root/sys" -o -path "$root/dev" \
    -o -path "$root/run" -o -path "$root/tmp" -o -path "$root/var/tmp" -o -path "$root/var/cache" \
    -o -path "$root/var/lib/apt" -o -path "$root/var/lib/dpkg" -o -path "$root/var/log" \) -prune \
    -o ! -type d -printf '/%P\n' | LC_ALL=C sort
}
tree_files > "$work/files-before"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

say "apt-get install ./*.deb"
"${as_root[@]}" mkdir -p "$root/tmp/packages"
"${as_root[@]}" cp "${debs[@]}" "$root/tmp/packages/"
if ! in_root sh -c 'cd /tmp/packages && apt-get -y -q -o APT::Keep-Downloaded-Packages=true install --no-install-recommends ./*.deb' \
     > "$work/install.log" 2>&1; then
  tail -n 40 "$work/install.log"
  echo "FAIL: apt-get install ./*.deb in the clean tree"
  exit 1
fi
grep -E '^(Setting up sorvane|[0-9]+ upgraded)' "$work/install.log" || true
grep -qE '^0 upgraded' "$work/install.log" || fail "installing the packages upgraded packages of the tree"

out=$(in_root sorvane --version 2>&1) && [ "$out" = "sorvane $upstream" ] \
  || fail "sorvane --version says '$out', not 'sorvane $upstream'"
out=$(in_root sorvane-render --help 2>&1) && grep -q '^usage: sorvane-render' <<<"$out" \
  || fail "sorvane-render --help: $out"
for page in sorvane sorvane-render; do
  out=$(in_root man -w "$page" 2>&1) && [ "$out" = "/usr/share/man/man1/$page.1.gz" ] \
    || fail "man -w $page: $out"
done
# The URI the packaged bundle's manifest declares.
uri=$(dpkg-deb --fsys-tarfile "${debs[1]}" | tar -xOf - "./usr/lib/$triplet/lv2/sorvane.lv2/manifest.ttl" \
      | sed -n 's/^<\([^>]*\)>$/\1/p' | head -n 1 || true)
in_root lv2ls | grep -qxF "$uri" || fail "lv2ls does not list $uri"
bundle=$(in_root lv2info "$uri" 2>&1 | sed -n 's/^[[:space:]]*Bundle:[[:space:]]*//p')
[ "$bundle" = "file:///usr/lib/$triplet/lv2/sorvane.lv2/" ] \
  || fail "the plugin's bundle is '$bundle', not in the multiarch LV2 folder /usr/lib/$triplet/lv2"
echo "checked: sorvane --version, sorvane-render --help, man -w, lv2ls and lv2info"

say "apt-get purge --autoremove sorvane sorvane-lv2"
in_root "${apt_get[@]}" purge --autoremove sorvane sorvane-lv2 > "$work/purge.log" 2>&1 \
  || { tail -n 30 "$work/purge.log"; fail "apt-get purge"; }
tree_files > "$work/files-after"
if ! diff -u "$work/files-before" "$work/files-after" > "$work/files.diff"; then
  cat "$work/files.diff"
  fail "the purge leaves the tree different from before the install"
else
  echo "after the purge the tree holds the same $(wc -l < "$work/files-after") files as before the install"
fi

# Keep what apt downloaded for the next run (but not our own packages).
"${as_root[@]}" find "$root/var/cache/apt/archives" -maxdepth 1 -name '*.deb' ! -name 'sorvane*' \
  -exec cp -n -t "$archives/" {} +

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed; the tree is left in $root"
  exit 1
fi
"${as_root[@]}" rm -rf "$root"
echo "package test: all checks passed"

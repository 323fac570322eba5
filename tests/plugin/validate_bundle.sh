#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the plugin's component into a staging prefix and validates the
# installed bundle with lv2_validate against Debian's LV2 specifications,
# and checks that lv2info lists its factory presets.
#   validate_bundle.sh BUILD_DIR STAGE_DIR LIBDIR
set -euo pipefail
build=$1 stage=$2 libdir=$3
rm -rf "$stage"
cmake --install "$build" --component lv2 --prefix "$stage"
bundle=$stage/$libdir/lv2/sorvane.lv2
for f in manifest.ttl sorvane.ttl presets.ttl sorvane.so; do
  [ -f "$bundle/$f" ] || { echo "missing $bundle/$f" >&2; exit 1; }
done
out=$(lv2_validate "$bundle"/*.ttl 2>&1)
printf '%s\n' "$out"
# Clean: no error and no warning, and the summary line says so.
grep -q '^Found 0 errors' <<<"$out"
! grep -Eqi '^(error|warning)' <<<"$out"
# lv2info, reading the installed bundle alone, lists the factory presets.
presets=$(LV2_PATH="$stage/$libdir/lv2:/usr/lib/lv2" lv2info https://github.com/sorvane/sorvane#vocoder |
  sed -n '/^\tPresets:/,/^$/p')
printf '%s\n' "$presets"
for name in "Robot voice" "Choir with echo" "Square lead with vibrato"; do
  grep -q "$name" <<<"$presets" || { echo "lv2info does not list the preset $name" >&2; exit 1; }
done

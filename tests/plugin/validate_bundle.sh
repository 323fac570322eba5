#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the plugin's component into a staging prefix and validates the
# installed bundle with lv2_validate against Debian's LV2 specifications.
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

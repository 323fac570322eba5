# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the install checks. `cmake --install` rewrites the build's
# install_manifest.txt, which a user's uninstall reads: keep_manifest BUILD_DIR
# saves the user's copy and puts it back when the check ends, whatever
# happens. Sets `manifest` to the file's path.
keep_manifest() {
  manifest=$1/install_manifest.txt
  manifest_saved=""
  if [ -f "$manifest" ]; then
    manifest_saved=$(mktemp)
    cp -p "$manifest" "$manifest_saved"
  fi
  trap restore_manifest EXIT
}
restore_manifest() {
  if [ -n "$manifest_saved" ]; then mv -f "$manifest_saved" "$manifest"; else rm -f "$manifest"; fi
}

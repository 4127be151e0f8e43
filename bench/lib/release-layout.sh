# Sourced by the benchmarks that measure a bundle as a release ships it
# (never run on its own). Expects $src (the source tree).
#
# release_layout [--system-libraries] APP DEST: DEST (a new folder) gets a
# copy of the bundle APP stripped as `make release` strips it and carrying
# its libraries and Qt plugins as scripts/bundle-libraries makes a release
# carry them; with --system-libraries it is only stripped. The copy's
# signature is dropped: the start does not check it.
release_layout() {
  local carry=1
  if [ "$1" = --system-libraries ]; then
    carry=0
    shift
  fi
  local app dest=$2
  # Resolved first: a link to the bundle would be copied as the link, and
  # the stripping would then reach the original.
  app=$(realpath "$1")
  mkdir -p "$dest"
  cp -a "$app" "$dest/Ferrowhistle.app"
  rm -rf "$dest/Ferrowhistle.app/Contents/_CodeSignature"
  "$src/scripts/strip-bundle" "$dest/Ferrowhistle.app" "$dest/debug" >/dev/null
  if [ $carry = 1 ]; then
    "$src/scripts/bundle-libraries" "$dest/Ferrowhistle.app" >/dev/null
  fi
}

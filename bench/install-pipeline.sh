#!/usr/bin/env bash
# The whole install of a release of the real bundle plus 100 MiB of
# resources (2,000 files), against the same steps done by the usual tools,
# alternating, median of a few runs (<= 1.5x).
#   Ours: fw-bench-install-pipeline, the updater's own install as the app
#   runs it (download over loopback HTTPS, size and digest checks, safe
#   unzip, signature, the assessment tool, identifier and build, the swap,
#   the removal of the old copy and the work files), up to the relaunch.
#   Tools: curl, openssl dgst -sha256, bsdtar -xf, ferrowhistle-release
#   verify, two renames for the swap and rm -rf for the same removals.
set -euo pipefail
build=${FW_BUILD:?}
bench="$build/bin/fw-bench-install-pipeline"
release="$build/bin/ferrowhistle-release"
source "$(dirname "$0")/lib/install.sh"
mkdir -m 700 "$work/tmp"
export TMPDIR="$work/tmp"

# Signing identities of a development authority and a notary authority.
"$release" create-ca --name "Bench Developer CA" --out "$work/dev-ca.pem" >/dev/null
"$release" create-ca --name "Bench Notary CA" --out "$work/notary-ca.pem" >/dev/null
"$release" create-identity --ca "$work/dev-ca.pem" --kind developer --name "Developer ID Application: Bench" \
  --team BENCH12345 --out "$work/developer.pem" >/dev/null
"$release" create-identity --ca "$work/notary-ca.pem" --kind notary --name "Bench Notary" --out "$work/notary.pem" >/dev/null

# copy_as DIR BUILD: the built bundle as DIR/Ferrowhistle.app of that build,
# trusting the bench's authorities.
copy_as() {
  mkdir -p "$1"
  cp -a "$build/Ferrowhistle.app" "$1/"
  local app="$1/Ferrowhistle.app"
  rm -rf "$app/Contents/_CodeSignature"
  sed -i "/<key>CFBundleVersion<\/key>/{n;s|<string>[^<]*</string>|<string>$2</string>|}" "$app/Contents/Info.plist"
  mkdir -p "$app/Contents/Resources/Trust"
  cp "$work/dev-ca.crt" "$app/Contents/Resources/Trust/codesigning-anchors.pem"
  cp "$work/notary-ca.crt" "$app/Contents/Resources/Trust/notary-anchors.pem"
}

# The running copy, build 500, signed; kept as the template of each run.
copy_as "$work/running" 500
"$release" sign --identity "$work/developer.pem" "$work/running/Ferrowhistle.app" >/dev/null
# The release, build 501 with 100 MiB more resources, signed, notarized and
# packaged as it is published.
copy_as "$work/next" 501
openssl rand -out "$work/random" 104857600 2>/dev/null
random_tree "$work/random" "$work/next/Ferrowhistle.app/Contents/Resources/extra"
rm "$work/random"
"$release" sign --identity "$work/developer.pem" "$work/next/Ferrowhistle.app" >/dev/null
"$release" notarize --notary "$work/notary.pem" "$work/next/Ferrowhistle.app" >/dev/null
"$release" package "$work/next/Ferrowhistle.app" --out "$work/release.zip" --against "$work/running/Ferrowhistle.app" >/dev/null
rm -rf "$work/next"
sha=$(openssl dgst -sha256 -r "$work/release.zip" | cut -d' ' -f1)
cat "$work/release.zip" >/dev/null
awk -v s="$(stat -c %s "$work/release.zip")" -v f="$(find "$work/running/Ferrowhistle.app" -type f | wc -l)" \
  'BEGIN {printf "release archive: %.1f MiB, bundle of %d files plus 2,000 of resources\n", s / 1048576, f}'

serve
url="https://127.0.0.1:$port/release.zip"

# The tools' install into base/Ferrowhistle.app; fails as the app would.
tools_install() {
  local apps="$work/base" archive="$work/tmp/update.zip" staging="$work/base/.staging"
  curl -sf --cacert "$ca" -o "$archive" "$url"
  [ "$(openssl dgst -sha256 -r "$archive" | cut -d' ' -f1)" = "$sha" ]
  mkdir "$staging"
  bsdtar -xf "$archive" -C "$staging"
  "$release" verify --against "$apps/Ferrowhistle.app" "$staging/Ferrowhistle.app"
  mv "$apps/Ferrowhistle.app" "$staging/Ferrowhistle.app.previous"
  mv "$staging/Ferrowhistle.app" "$apps/Ferrowhistle.app"
  rm -rf "$staging" "$archive"
}

ours=(); swapped=(); base=()
for r in $(seq "$runs"); do
  rm -rf "$work/ours" && mkdir "$work/ours" && cp -a "$work/running/Ferrowhistle.app" "$work/ours/"
  # The relaunch the install starts writes to stderr once the bundle is gone.
  if ! read -r s t < <("$bench" "$work/ours/Ferrowhistle.app" "$url" "$sha" 501 "$ca" 2>"$work/ours.err"); then
    cat "$work/ours.err" >&2
    exit 1
  fi
  swapped+=("$s"); ours+=("$t")
  rm -rf "$work/base" && mkdir "$work/base" && cp -a "$work/running/Ferrowhistle.app" "$work/base/"
  t0=$(date +%s%N)
  tools_install >/dev/null
  t1=$(date +%s%N)
  base+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.4f\n", (b - a) / 1e9}')")
  grep -q '<string>501</string>' "$work/base/Ferrowhistle.app/Contents/Info.plist"
done
awk -v s="$(printf '%s\n' "${swapped[@]}" | median)" 'BEGIN {printf "ours, up to the end of the swap: %.3fs\n", s}'
judge "install of the bundle plus 100 MiB" "$(printf '%s\n' "${ours[@]}" | median)" "$(printf '%s\n' "${base[@]}" | median)" 1.5
exit $status

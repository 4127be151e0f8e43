#!/usr/bin/env bash
# The updater module holds one copy of nothing that the executable holds:
# every strong symbol it defines (code, data, read-only data, zeroed data)
# is absent from the executable's, and it takes what it uses of the app's
# own code from the executable. Weak and unique symbols (inline functions,
# templates, their statics) are merged by the loader and do not count.
# Usage: module_symbols.sh EXECUTABLE MODULE
set -uo pipefail
exe=$1 module=$2
fail() { echo "module_symbols: $*"; exit 1; }
[ -f "$exe" ] || fail "no executable at $exe"
[ -f "$module" ] || fail "no module at $module"
work=$(mktemp -d) || exit 2
trap 'rm -rf "$work"' EXIT

# nm -D prints "ADDRESS TYPE NAME" for defined symbols and "U NAME" for the
# others; names never hold spaces.
nm -D --defined-only "$exe" | awk 'NF == 3 { print $3 }' | sort -u > "$work/exe"
nm -D --defined-only "$module" | awk 'NF == 3 && $2 ~ /^[TDBR]$/ { print $3 }' | sort -u > "$work/module"
nm -D --undefined-only "$module" | awk '{ print $NF }' | sort -u > "$work/imports"
[ -s "$work/exe" ] || fail "the executable exports nothing: it was not linked with its symbols exported"
[ -s "$work/module" ] || fail "the module defines nothing"

comm -12 "$work/exe" "$work/module" > "$work/twice"
if [ -s "$work/twice" ]; then
  echo "module_symbols: the module defines $(wc -l < "$work/twice") symbols the executable defines too, for example:"
  head -20 "$work/twice" | c++filt | sed 's/^/  /'
  exit 1
fi

# It does import the app's code: the settings store, the system log and the
# location, which both of them use, come from the executable.
comm -12 "$work/exe" "$work/imports" | c++filt > "$work/shared"
for name in 'DefaultsStore::' 'systemLog(' 'InstallLocations::'; do
  grep -qF "$name" "$work/shared" || fail "the module does not take $name from the executable"
done
echo "module_symbols: $(wc -l < "$work/module") symbols of the module's own, $(wc -l < "$work/shared") taken from the executable, none twice"

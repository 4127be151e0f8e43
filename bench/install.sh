#!/usr/bin/env bash
# Three steps of an update install, each as the app runs it and as the usual
# tool does the same job, alternating, median of a few runs:
#   the SHA-256 of a 200 MiB archive against `openssl dgst -sha256` (<= 1.2x);
#   unpacking 2,000 files / 100 MiB against `bsdtar -xf` (<= 1.3x);
#   downloading 200 MiB over loopback HTTPS against curl (<= 1.3x), with the
#   app's peak RSS growth (< 32 MiB).
set -euo pipefail
build=${FW_BUILD:?}
steps="$build/bin/fw-bench-install-steps"
runs=${FW_BENCH_RUNS:-3}
work=$(mktemp -d)
server=""
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
seconds() { # runs a command, prints the seconds it took
  local t0 t1
  t0=$(date +%s%N)
  "$@" >/dev/null 2>&1
  t1=$(date +%s%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.4f\n", (b - a) / 1e9}'
}
status=0
judge() { # name ours baseline limit
  awk -v n="$1" -v o="$2" -v b="$3" -v l="$4" 'BEGIN {printf "%s: %.3fs against %.3fs, ratio %.2fx (target <= %sx)\n", n, o, b, o / b, l}'
  awk -v o="$2" -v b="$3" -v l="$4" 'BEGIN {exit !(o <= l * b)}' || status=1
}

# 1. Digest.
openssl rand -out "$work/archive" 209715200 2>/dev/null
cat "$work/archive" >/dev/null
ours=$(for _ in $(seq "$runs"); do "$steps" sha256 "$work/archive"; done | median)
base=$(for _ in $(seq "$runs"); do seconds openssl dgst -sha256 "$work/archive"; done | median)
judge "sha256 of 200 MiB" "$ours" "$base" 1.2

# 2. Unpacking: 2,000 files of about 52 KiB in 20 folders.
mkdir -p "$work/tree/Ferrowhistle.app/Contents/Resources"
head -c 104857600 "$work/archive" >"$work/pool"
(cd "$work" && split -n 2000 -d -a 4 pool part)
for i in $(seq 0 1999); do
  n=$(printf '%04d' "$i")
  d="$work/tree/Ferrowhistle.app/Contents/Resources/data$(printf '%02d' $((i % 20)))"
  mkdir -p "$d"
  mv "$work/part$n" "$d/file$n.bin"
done
rm "$work/pool"
(cd "$work/tree" && zip -qr -0 "$work/tree.zip" Ferrowhistle.app)
ours_u=(); base_u=()
for r in $(seq "$runs"); do
  ours_u+=("$("$steps" unzip "$work/tree.zip" "$work/ours$r")")
  rm -rf "$work/ours$r"
  mkdir "$work/base$r"
  base_u+=("$(seconds bsdtar -xf "$work/tree.zip" -C "$work/base$r")")
  rm -rf "$work/base$r"
done
judge "unpack 2,000 files / 100 MiB" "$(printf '%s\n' "${ours_u[@]}" | median)" "$(printf '%s\n' "${base_u[@]}" | median)" 1.3

# 3. Download from an HTTPS server on loopback.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
port=$((20000 + RANDOM % 20000))
(cd "$work" && exec python3 -c '
import http.server, ssl, sys
httpd = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), http.server.SimpleHTTPRequestHandler)
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain("cert.pem", "key.pem")
httpd.socket = ctx.wrap_socket(httpd.socket, server_side=True)
httpd.serve_forever()' "$port") >/dev/null 2>&1 &
server=$!
for _ in $(seq 50); do curl -s -o /dev/null --cacert "$work/cert.pem" "https://127.0.0.1:$port/key.pem" && break; sleep 0.1; done
url="https://127.0.0.1:$port/archive"
ours_d=(); base_d=(); rss=()
for r in $(seq "$runs"); do
  read -r t k < <("$steps" download "$url" "$work/ours.zip" "$work/cert.pem")
  ours_d+=("$t"); rss+=("$k")
  rm -f "$work/ours.zip"
  base_d+=("$(seconds curl -s --cacert "$work/cert.pem" -o "$work/curl.zip" "$url")")
  rm -f "$work/curl.zip"
done
judge "download of 200 MiB" "$(printf '%s\n' "${ours_d[@]}" | median)" "$(printf '%s\n' "${base_d[@]}" | median)" 1.3
peak=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
awk -v k="$peak" 'BEGIN {printf "download peak RSS growth: %.1f MiB (target < 32 MiB)\n", k / 1024}'
[ "$peak" -lt 32768 ] || status=1
exit $status

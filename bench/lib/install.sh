# Shared by the install benchmarks (sourced, never run on its own): a work
# folder removed on exit, the median and judging of figures, a tree of 2,000
# files / 100 MiB, and a loopback HTTPS server over the work folder.
# Expects $build; sets $work, $status, and $port and $ca once serve has run.
runs=${FW_BENCH_RUNS:-3}
work=$(mktemp -d)
server=""
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
status=0

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
seconds() { # runs a command, prints the seconds it took
  local t0 t1
  t0=$(date +%s%N)
  "$@" >/dev/null 2>&1
  t1=$(date +%s%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.4f\n", (b - a) / 1e9}'
}
judge() { # name ours baseline limit
  awk -v n="$1" -v o="$2" -v b="$3" -v l="$4" 'BEGIN {printf "%s: %.3fs against %.3fs, ratio %.2fx (target <= %sx): %s\n", n, o, b, o / b, l, (o <= l * b ? "met" : "NOT met")}'
  awk -v o="$2" -v b="$3" -v l="$4" 'BEGIN {exit !(o <= l * b)}' || status=1
}

source "$(dirname "${BASH_SOURCE[0]}")/random-tree.sh"

# serve: an HTTPS server on a loopback port for the files of $work, with a
# certificate of its own in $ca.
serve() {
  ca="$work/cert.pem"
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" \
    -keyout "$work/key.pem" -out "$ca" 2>/dev/null
  port=$((20000 + RANDOM % 20000))
  (cd "$work" && exec python3 -c '
import http.server, ssl, sys
httpd = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), http.server.SimpleHTTPRequestHandler)
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain("cert.pem", "key.pem")
httpd.socket = ctx.wrap_socket(httpd.socket, server_side=True)
httpd.serve_forever()' "$port") >/dev/null 2>&1 &
  server=$!
  for _ in $(seq 50); do curl -s -o /dev/null --cacert "$ca" "https://127.0.0.1:$port/cert.pem" && return 0; sleep 0.1; done
  echo "the loopback HTTPS server did not start" >&2
  return 1
}

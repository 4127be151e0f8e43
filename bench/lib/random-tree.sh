# Sourced by the benchmarks that need a bundle's worth of resources.
# random_tree POOL DIR: splits the first 100 MiB of POOL into 2,000 files of
# 52,428 or 52,429 bytes in 20 folders data00..data19 under DIR. Works in
# $work.
random_tree() {
  local pool=$1 dir=$2 i n d
  mkdir -p "$dir" "$work/split"
  head -c 104857600 "$pool" >"$work/split/pool"
  (cd "$work/split" && split -n 2000 -d -a 4 pool part)
  for i in $(seq 0 1999); do
    n=$(printf '%04d' "$i")
    d="$dir/data$(printf '%02d' $((i % 20)))"
    mkdir -p "$d"
    mv "$work/split/part$n" "$d/file$n.bin"
  done
  rm -rf "$work/split"
}

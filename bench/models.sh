#!/usr/bin/env bash
# Benchmarks of model downloads (tavrin-models install), each against a
# peer measured in the same run:
#   1. download over loopback HTTPS from tests/support/model-server: 15 MB
#      and 150 MB files, wall time, throughput, CPU and peak memory, against
#      curl fetching the same file from the same server, alone and followed
#      by an fsync of the file as the installer does before its rename
#      (target: at least 0.9 x curl's throughput; memory the same at both
#      sizes). tavrin-models' figure includes its check of the file on disk:
#      it reads the file back and hashes it a few MB behind the writer, and
#      the tail while its fsync runs, before the rename;
#   2. checksum cost per GB: a resumed download whose .part holds all but
#      the last byte reads the whole .part back to check it; its time per GB against
#      sha1sum (Whisper models, SHA-1) and sha256sum (notes models, SHA-256).
# The peer of 1 is as slow as the Python server allows; both share it. Each
# figure of 1 is the median of BENCH_RUNS (default 5) runs, the programs
# taking turns, so a busy moment of the machine weighs on all of them alike.
# Needs a build in build/ with test hooks (the default), or the program to
# measure in TAVRIN_MODELS_BIN (an earlier build, to compare). Usage: bench/models.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${TAVRIN_MODELS_BIN:-$PWD/build/models/tavrin-models}
work=$(mktemp -d)
server_pid=
trap '[ -n "$server_pid" ] && kill "$server_pid"; rm -rf "$work"' EXIT
mkdir -p "$work/served"
head -c 15000000 /dev/urandom > "$work/served/f15.bin"
head -c 150000000 /dev/urandom > "$work/served/f150.bin"
tests/support/model-server "$work/served" "$work/log" > "$work/server" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/server" ] && break; sleep 0.1; done
read -r port ca < "$work/server"

# Runs a command with /usr/bin/time; prints "<wall s> <cpu s> <peak KiB>".
measure() {
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" > /dev/null
  awk '{printf "%.2f %.2f %d\n", $1, $2 + $3, $4}' "$work/time"
}
# The median of each column of a file of "measure" lines.
median() {
  for column in 1 2 3; do
    cut -d' ' -f$column "$1" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
  done | paste -sd' '
}
catalogue() {  # name file digest
  printf 'ca %s\nmodel %s https://127.0.0.1:%s/ok/%s %s %s\n' "$ca" "$1" "$port" "$2" "$3" \
    "$(stat -c %s "$work/served/$2")" > "$work/catalogue"
}
install() {  # name
  XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config TAVRIN_TEST_MODEL_CATALOGUE=$work/catalogue \
    measure "$bin" install "$1"
}

echo "== 1. download over loopback HTTPS: tavrin-models vs curl (same server, same file)"
printf "%-6s %-14s %8s %8s %8s %10s\n" "size" "program" "wall s" "MB/s" "CPU s" "peak MiB"
for size in 15 150; do
  f=f$size.bin
  catalogue base "$f" "sha1:$(sha1sum "$work/served/$f" | cut -d' ' -f1)"
  : > "$work/t" && : > "$work/c" && : > "$work/s"
  for _ in $(seq "${BENCH_RUNS:-5}"); do
    rm -rf "$work/data"
    install base >> "$work/t"
    measure curl -sS --cacert "$ca" -o "$work/curl.bin" "https://127.0.0.1:$port/ok/$f" >> "$work/c"
    cmp -s "$work/curl.bin" "$work/data/tavrin/speech/whisper/ggml-base.bin" || echo "download differs!"
    rm -f "$work/curl.bin"
    measure sh -c "curl -sS --cacert '$ca' -o '$work/curl.bin' 'https://127.0.0.1:$port/ok/$f' && sync '$work/curl.bin'" >> "$work/s"
    rm -f "$work/curl.bin"
  done
  read -r t_wall t_cpu t_mem < <(median "$work/t")
  read -r c_wall c_cpu c_mem < <(median "$work/c")
  read -r s_wall s_cpu s_mem < <(median "$work/s")
  for p in "tavrin-models $t_wall $t_cpu $t_mem" "curl $c_wall $c_cpu $c_mem" "curl+fsync $s_wall $s_cpu $s_mem"; do
    set -- $p
    printf "%-6s %-14s %8s %8.1f %8s %10.1f\n" "${size}MB" "$1" "$2" "$(awk -v s="$size" -v w="$2" 'BEGIN{print s/w}')" "$3" \
      "$(awk -v k="$4" 'BEGIN{print k/1024}')"
  done
  awk -v a="$c_wall" -v b="$t_wall" -v c="$s_wall" \
    'BEGIN { printf "       throughput ratio tavrin-models/curl: %.2f, /curl+fsync: %.2f\n", a / b, c / b }'
done

echo "== 2. checksum cost per GB (150 MB .part read back and hashed) vs coreutils"
printf "%-8s %-18s %10s\n" "digest" "program" "s per GB"
f=$work/served/f150.bin
for kind in sha1 sha256; do
  if [ $kind = sha1 ]; then
    name=base dest=speech/whisper/ggml-base.bin digest="sha1:$(sha1sum "$f" | cut -d' ' -f1)"
  else
    name=notes dest=models/qwen2.5-1.5b-instruct-q4_k_m.gguf digest="sha256:$(sha256sum "$f" | cut -d' ' -f1)"
  fi
  catalogue "$name" f150.bin "$digest"
  rm -rf "$work/data" && mkdir -p "$(dirname "$work/data/tavrin/$dest")"
  head -c 149999999 "$f" > "$work/data/tavrin/$dest.part"
  sync  # the .part on disk: the install's own fsync then costs nothing extra
  read -r t_wall _ < <(install "$name")
  read -r s_wall _ < <(measure ${kind}sum "$f")
  printf "%-8s %-18s %10.2f\n" $kind "tavrin-models" "$(awk -v w="$t_wall" 'BEGIN{print w/0.15}')"
  printf "%-8s %-18s %10.2f\n" $kind "${kind}sum" "$(awk -v w="$s_wall" 'BEGIN{print w/0.15}')"
done

#!/usr/bin/env bash
# Benchmarks quillet against cat and its peers and prints markdown tables.
#
#   bash bench/run.sh            1 GiB rewrite, 256 MiB Japanese, 1 GiB memory
#   QUICK=1 bash bench/run.sh    64 MiB / 16 MiB corpora, 3 runs: a quick try
#   BIG=1 bash bench/run.sh      adds a 4.5 GiB run: memory and completeness
#
# Environment: QUILLET_BENCH_DATA (work directory, default build/bench-data),
# SIZE_MIB, JA_SIZE_MIB, BIG_SIZE_MIB (corpus sizes), RUNS (hyperfine runs).
# Needs about 5 GiB of disk for the default run, 14 GiB more with BIG=1.
# Other load on the machine shows as a wide min-max range: re-run then.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

quick=${QUICK:-0}
big=${BIG:-0}
if [ "$quick" = 1 ]; then
  size_mib=${SIZE_MIB:-64} ja_size_mib=${JA_SIZE_MIB:-16} runs=${RUNS:-3}
else
  size_mib=${SIZE_MIB:-1024} ja_size_mib=${JA_SIZE_MIB:-256} runs=${RUNS:-5}
fi
big_size_mib=${BIG_SIZE_MIB:-4608}  # past 4 GiB, where 32-bit offsets would wrap
data=${QUILLET_BENCH_DATA:-$root/build/bench-data}
build=$root/build/bench

# ---- tools from Debian -------------------------------------------------------
"$root/scripts/install-deps.sh" cmake g++ make python3 hyperfine time nkf mecab-naist-jdic-eucjp libbenchmark-dev perl sed

# ---- release binaries --------------------------------------------------------
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLET_BUILD_TESTS=OFF -DQUILLET_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 >/dev/null

# quillet writes beside its executable, and -e loads libnkf32.so from there:
# run a copy inside the work directory so every output lands on one disk.
mkdir -p "$data/bin" "$data/out" "$data/tmp" "$data/results"
cp "$build/quillet" "$build/libnkf32.so" "$data/bin/"
export TMP="$data/tmp"
cd "$data"
rm -f results/*

# ---- corpora -----------------------------------------------------------------
# Regenerated only when missing or older than the generator.
corpus() {  # corpus FILE MIB [--japanese]
  local file=$1 mib=$2
  shift 2
  if [ ! -s "$file" ] || [ ! -s "$file.json" ] || [ "$root/bench/gen_mbox.py" -nt "$file" ]; then
    echo "generating $file ($mib MiB)" >&2
    local start=$SECONDS
    python3 "$root/bench/gen_mbox.py" "$file" --size-mib "$mib" "$@" >/dev/null
    echo "- generated $file in $((SECONDS - start)) s" >>results/generated.md
  fi
}
en=en-${size_mib}.mbox
ja=ja-${ja_size_mib}.mbox
corpus "$en" "$size_mib"
corpus "$ja" "$ja_size_mib" --japanese

# ---- the machine -------------------------------------------------------------
{
  echo "- CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores"
  echo "- memory: $(free -g | awk '/^Mem:/ {print $2}') GiB"
  echo "- disk: $(findmnt -n -o SOURCE,FSTYPE -T "$data" | tr -s ' ')"
  echo "- kernel: $(uname -r)"
  echo "- compiler: $(g++ --version | head -1)"
  echo "- tools: $(hyperfine --version), $(nkf --version 2>&1 | head -1 | tr -s ' '), $(sed --version | head -1), perl $(perl -e 'print $^V')"
  echo "- load before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
} >results/machine.md

# ---- measurements ------------------------------------------------------------
# measure GROUP LABEL INPUT OUTPUT COMMAND: hyperfine's median from its JSON, and
# the peak resident memory of one more run under /usr/bin/time -v (the largest
# of the shell and its child, that is the command's). Before every run the
# previous output is removed and dirty pages are written back, so each command
# starts from the same state and is not charged for its predecessor's writeback.
n=0
measure() {
  local group=$1 label=$2 input=$3 output=$4 command=$5
  local prepare="rm -f '$output'; sync"
  n=$((n + 1))
  echo "measuring: $command" >&2
  hyperfine --warmup 1 --runs "$runs" --style none --prepare "$prepare" --export-json "results/$n.json" \
    "$command" >/dev/null
  sh -c "$prepare"
  /usr/bin/time -v -o "results/$n.time" sh -c "$command"
  local rss
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "results/$n.time")
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$group" "$label" "$input" "$(stat -c %s "$input")" "results/$n.json" "$rss" \
    >>results/rows.tsv
}

# quillet names its output after the input: NAME.mbox -> quillet_out/NAME_$$$.mbox.
quillet_output() { echo "bin/quillet_out/${1%.mbox}_\$\$\$.mbox"; }
out_en=$(quillet_output "$en")
out_ja=$(quillet_output "$ja")

measure rewrite "cat" "$en" out/copy "cat $en > out/copy"
measure rewrite "quillet" "$en" "$out_en" "bin/quillet $en"
measure rewrite "sed 's/\$/\\r/'" "$en" out/sed.out "sed 's/\$/\\r/' $en > out/sed.out"
measure rewrite "perl -pe 's/\\n/\\r\\n/'" "$en" out/perl.out "perl -pe 's/\\n/\\r\\n/' $en > out/perl.out"
rm -f out/sed.out out/perl.out
measure japanese "cat" "$ja" out/copy "cat $ja > out/copy"
# Without -e first: both write the same output file, and the -e one is checked.
measure japanese "quillet (no -e)" "$ja" "$out_ja" "bin/quillet $ja"
measure japanese "quillet -e" "$ja" "$out_ja" "bin/quillet -e $ja"
measure japanese "nkf -E -s" "$ja" out/nkf.out "nkf -E -s $ja > out/nkf.out"
measure japanese "iconv -f EUC-JP -t SHIFT_JIS" "$ja" out/iconv.out "iconv -f EUC-JP -t SHIFT_JIS $ja > out/iconv.out"

# ---- completeness ------------------------------------------------------------
# The generator knows what the output must hold: its bytes, its lines and one
# delimiter line per message. Checked on the files the runs above left.
delimiter='====================KeyABCabc0123456789XYZxyz-Mailer-MailBox-Delmit-Line-Do-Not-Edit-JustSystem===================='
check_output() {  # check_output LABEL OUTPUT SUMMARY
  local label=$1 output=$2 summary=$3
  python3 - "$label" "$output" "$summary" "$(stat -c %s "$output")" "$(wc -l <"$output")" \
    "$(grep -c -x -F -e "$delimiter"$'\r' "$output")" <<'EOF' >>results/checks.md
import json, sys
label, output, summary, size, lines, delims = sys.argv[1:]
s = json.load(open(summary))
ok = (int(size), int(lines), int(delims)) == (s["output_bytes"], s["output_lines"], s["messages"])
print(f"| {label} | {size} / {s['output_bytes']} | {lines} / {s['output_lines']} "
      f"| {delims} / {s['messages']} | {'complete' if ok else '**INCOMPLETE**'} |")
EOF
}
check_output "quillet $en" "$out_en" "$en.json"
check_output "quillet -e $ja" "$out_ja" "$ja.json"
# The -e output against an independent route: iconv first, then the plain rewrite.
bin/quillet out/iconv.out >/dev/null
if cmp -s "$out_ja" "bin/quillet_out/iconv_\$\$\$.out"; then same=identical; else same="**differs**"; fi
echo "- \`quillet -e $ja\` output vs \`iconv\` then \`quillet\`: $same" >results/oracle.md
rm -f "bin/quillet_out/iconv_\$\$\$.out"

if [ "$big" = 1 ]; then
  huge=en-${big_size_mib}.mbox
  corpus "$huge" "$big_size_mib"
  out_huge=$(quillet_output "$huge")
  runs=${BIG_RUNS:-3}
  measure big "cat" "$huge" out/copy "cat $huge > out/copy"
  measure big "quillet" "$huge" "$out_huge" "bin/quillet $huge"
  check_output "quillet $huge" "$out_huge" "$huge.json"
  rm -f "$out_huge" out/copy
fi

# ---- in-memory benchmarks ----------------------------------------------------
echo "running the Google Benchmark programs" >&2
bench_args=(--benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_format=json)
QUILLET_BENCH_EUC=$ja "$build/bench/bench_nkf32" "${bench_args[@]}" --benchmark_out=results/nkf32.json \
  --benchmark_out_format=json >/dev/null
QUILLET_BENCH_MBOX=$en "$build/bench/bench_rewrite" "${bench_args[@]}" --benchmark_out=results/rewrite.json \
  --benchmark_out_format=json >/dev/null

python3 "$root/bench/report.py" results

// The converter library on real EUC-JP text in memory. The text is the file
// named by QUILLET_BENCH_EUC (bench/run.sh sets the generated Japanese
// mailbox), else the naist-jdic dictionary itself; at most 64 MiB of it.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "corpus.h"
#include "kanji/kanji.h"
#include "nkf32.h"

namespace {

struct EucText {
  std::string raw;
  std::vector<size_t> offsets;  // pieces as the pre-pass cuts them
  std::string terminated;       // the same pieces, each followed by a NUL
  std::vector<size_t> starts;   // where each piece begins in terminated
};

const EucText& euc_text() {
  static const EucText text = [] {
    EucText t;
    t.raw = read_corpus("QUILLET_BENCH_EUC", "/usr/share/mecab/dic/naist-jdic-eucjp/naist-jdic.csv", corpus_limit);
    t.offsets = euc_pieces(t.raw);
    t.terminated.reserve(t.raw.size() + t.offsets.size());
    for (size_t i = 0; i + 1 < t.offsets.size(); ++i) {
      t.starts.push_back(t.terminated.size());
      t.terminated.append(t.raw, t.offsets[i], t.offsets[i + 1] - t.offsets[i]);
      t.terminated.push_back('\0');
    }
    return t;
  }();
  return text;
}

bool have_text(benchmark::State& state, const EucText& t) {
  if (!t.raw.empty()) return true;
  state.SkipWithError("no EUC-JP text: set QUILLET_BENCH_EUC or install mecab-naist-jdic-eucjp");
  return false;
}

// The library alone, one call per piece of at most 255 bytes, as the
// pre-pass calls it.
void BM_NkfConvertPerPiece(benchmark::State& state) {
  const EucText& t = euc_text();
  if (!have_text(state, t)) return;
  SetNkfOption("s");
  char out[4 * 256];
  for (auto _ : state) {
    for (size_t start : t.starts) {
      NkfConvert(out, t.terminated.data() + start);
      benchmark::DoNotOptimize(out);
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(t.raw.size()));
  state.counters["pieces"] = static_cast<double>(t.starts.size());
}

// The pre-pass's own step per piece: cut the piece at NUL bytes, terminate
// it, call the library, measure the result (convert_piece in src/kanji),
// writing into a 1 MiB output block as the pre-pass does. File I/O excluded.
void BM_PrepassPieces(benchmark::State& state) {
  const EucText& t = euc_text();
  if (!have_text(state, t)) return;
  SetNkfOption("s");
  constexpr size_t block = size_t{1} << 20;
  std::vector<char> out(block);
  for (auto _ : state) {
    size_t used = 0;
    for (size_t i = 0; i + 1 < t.offsets.size(); ++i) {
      if (block - used < 4 * 256) used = 0;
      used += convert_piece(NkfConvert, t.raw.data() + t.offsets[i], t.offsets[i + 1] - t.offsets[i],
                            out.data() + used);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(t.raw.size()));
}

// For scale: the library over large blocks, where the per-call cost vanishes.
void BM_NkfConvertWholeBlocks(benchmark::State& state) {
  const EucText& t = euc_text();
  if (!have_text(state, t)) return;
  const size_t block = static_cast<size_t>(state.range(0));
  std::vector<std::string> blocks;
  for (size_t at = 0; at < t.raw.size(); at += block) blocks.push_back(t.raw.substr(at, block));
  std::vector<char> out(block + 1);
  for (auto _ : state) {
    for (const std::string& b : blocks) {
      NkfConvert(out.data(), b.c_str());
      benchmark::DoNotOptimize(out.data());
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(t.raw.size()));
}

}  // namespace

BENCHMARK(BM_NkfConvertPerPiece)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrepassPieces)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NkfConvertWholeBlocks)->Arg(64 << 10)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

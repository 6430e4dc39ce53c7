// The mbox rewrite over memory, without file I/O. The input is the first
// 64 MiB of the file named by QUILLET_BENCH_MBOX (bench/run.sh sets the
// generated mailbox), else a built-in synthetic mailbox of that size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "corpus.h"
#include "mailbox/mailbox.h"

namespace {

const std::string& mailbox_text() {
  static const std::string text = [] {
    std::string t = read_corpus("QUILLET_BENCH_MBOX", nullptr, corpus_limit);
    return t.empty() ? synthetic_mailbox(corpus_limit) : t;
  }();
  return text;
}

void set_bytes(benchmark::State& state, size_t per_iteration) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(per_iteration));
}

// What tests and fuzzers call: the whole rewrite into a std::string (its
// capacity kept from one iteration to the next).
void BM_RewriteText(benchmark::State& state) {
  const std::string& in = mailbox_text();
  std::string out;
  for (auto _ : state) {
    if (rewrite_mailbox_text(in, out) != RewriteStatus::converted) {
      state.SkipWithError("not converted");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  set_bytes(state, in.size());
  state.counters["out_MiB"] = static_cast<double>(out.size()) / (1 << 20);
}

// The rewrite's own work: the writer's blocks go nowhere, so only reading,
// line scanning and the CR LF expansion into the block are timed.
struct DiscardingSink {
  size_t bytes = 0;
};

size_t read_from(void* context, char* buffer, size_t capacity) {
  auto* rest = static_cast<std::string_view*>(context);
  size_t n = std::min(capacity, rest->size());
  std::memcpy(buffer, rest->data(), n);
  rest->remove_prefix(n);
  return n;
}

bool open_sink(void*) { return true; }

bool discard(void* context, const char* data, size_t size) {
  benchmark::DoNotOptimize(data);
  static_cast<DiscardingSink*>(context)->bytes += size;
  return true;
}

void BM_RewriteToDiscard(benchmark::State& state) {
  const std::string& in = mailbox_text();
  DiscardingSink sink;
  for (auto _ : state) {
    std::string_view rest(in);
    if (rewrite_mailbox({read_from, &rest}, {open_sink, discard, &sink}) != RewriteStatus::converted) {
      state.SkipWithError("not converted");
      break;
    }
  }
  set_bytes(state, in.size());
}

// For scale: a plain copy of the same bytes in 1 MiB blocks, the floor any
// rewrite that touches every byte stands on.
void BM_CopyBlocks(benchmark::State& state) {
  const std::string& in = mailbox_text();
  constexpr size_t block = size_t{1} << 20;
  std::string out(block, '\0');
  for (auto _ : state) {
    for (size_t at = 0; at < in.size(); at += block) {
      std::memcpy(out.data(), in.data() + at, std::min(block, in.size() - at));
      benchmark::DoNotOptimize(out.data());
    }
  }
  set_bytes(state, in.size());
}

}  // namespace

BENCHMARK(BM_RewriteText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RewriteToDiscard)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyBlocks)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

// Input text for the benchmark programs: a file named by an environment
// variable (bench/run.sh points it at the generated corpora), or a built-in
// stand-in so each program also runs on its own.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

inline constexpr size_t corpus_limit = size_t{64} << 20;

// The first `limit` bytes of the file named by env_name, else of
// default_path; empty when neither can be read.
std::string read_corpus(const char* env_name, const char* default_path, size_t limit);

// A deterministic mailbox of about `size` bytes: headers, short and long body
// lines, quoted ">From " lines, separators with changing dates.
std::string synthetic_mailbox(size_t size);

// The text cut the way the -e pre-pass cuts it: after each line feed and at
// most 255 bytes, a longer line ending before a character that would not fit.
// Entry i is [offsets[i], offsets[i + 1]).
std::vector<size_t> euc_pieces(const std::string& text);

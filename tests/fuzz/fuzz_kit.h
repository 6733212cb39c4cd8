// What the fuzzers and their seed generators share: how a finding is
// reported, how a step-list input carries its bytes, and how seeds are
// written to a corpus folder.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace fuzzkit {

using Bytes = std::vector<uint8_t>;

// A broken promise: the fuzzer stops here and keeps the input.
[[noreturn]] inline void finding(const char* fuzzer, const std::string& what, const std::string& detail = "") {
  std::fprintf(stderr, "%s: %s\n  %s\n", fuzzer, what.c_str(), detail.c_str());
  std::abort();
}

inline Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// An input made of one-byte steps, some followed by a length byte and that
// many bytes of data; `Script` is the builder that derives from it.
template <typename Script> class StepScript {
public:
  const Bytes& bytes() const { return bytes_; }

protected:
  explicit StepScript(Bytes header) : bytes_(std::move(header)) {}
  Script& put(uint8_t byte) {
    bytes_.push_back(byte);
    return static_cast<Script&>(*this);
  }
  // `data` in steps of at most 255 bytes, each led by `step`; one empty step
  // for no data.
  Script& putData(uint8_t step, const Bytes& data) {
    size_t at = 0;
    do {
      const size_t n = std::min<size_t>(255, data.size() - at);
      put(step).put(uint8_t(n));
      bytes_.insert(bytes_.end(), data.data() + at, data.data() + at + n);
      at += n;
    } while (at < data.size());
    return static_cast<Script&>(*this);
  }

private:
  Bytes bytes_;
};

// Reads a data step's length byte at `at` and passes over its data, cut at
// the input's end; returns where the data begins and how long it is.
inline std::pair<const uint8_t*, size_t> takeStepData(const uint8_t*& at, const uint8_t* end) {
  size_t n = 0;
  if (at < end) {
    const size_t announced = *at++;
    n = std::min(announced, size_t(end - at));
  }
  const uint8_t* data = at;
  at += n;
  return {data, n};
}

template <typename Seed> const Bytes& seedBytes(const Seed& seed) {
  if constexpr (std::is_same_v<Seed, Bytes>)
    return seed;
  else
    return seed.bytes();
}

// The generator's main: `program FOLDER` writes each seed as FOLDER/name.
template <typename Seed>
int writeSeeds(int argc, char** argv, const char* program, const std::vector<std::pair<std::string, Seed>>& seeds) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", program);
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  for (const auto& [name, seed] : seeds) {
    const Bytes& bytes = seedBytes(seed);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) {
      std::fprintf(stderr, "%s: cannot write %s\n", program, (folder / name).c_str());
      return 1;
    }
  }
  std::printf("%zu seeds in %s\n", seeds.size(), folder.c_str());
  return 0;
}

} // namespace fuzzkit

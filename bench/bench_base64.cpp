// Base64 encoding speed for a picture-sized buffer (200 KB) and a large one (8 MB), in the
// line-broken stream form and the one-line form.
//
// Also a tool for bench/base64_vs_coreutils.sh, which times whole processes:
//   bench_base64 --encode-file PATH      one-line text of the file, encoded chunk by chunk
//   bench_base64 --encode-picture PATH   the same through EncodePictureFile (whole text in memory)
//   bench_base64 --encode-stream PATH    line-broken text of the file (EncodeStream)
//   bench_base64 --decode-file PATH      bytes of the one-line text in the file, chunk by chunk
// each written to standard output.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "net/base64.h"

namespace {

constexpr std::int64_t kPictureBytes = 200 * 1024;
constexpr std::int64_t kLargeBytes = 8 * 1024 * 1024;

std::string RandomBytes(std::size_t size) {
  std::mt19937_64 random(42);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// Reads straight from a buffer, so that the streams' own cost is the only overhead measured.
class MemorySource : public std::streambuf {
 public:
  explicit MemorySource(const std::string& bytes) {
    char* start = const_cast<char*>(bytes.data());
    setg(start, start, start + bytes.size());
  }
};

// Writes into a buffer allocated once; Rewind starts over.
class MemorySink : public std::streambuf {
 public:
  explicit MemorySink(std::size_t capacity) : buffer_(capacity) { Rewind(); }
  void Rewind() { setp(buffer_.data(), buffer_.data() + buffer_.size()); }
  std::size_t Written() const { return static_cast<std::size_t>(pptr() - pbase()); }

 private:
  std::vector<char> buffer_;
};

void BM_EncodeStream(benchmark::State& state) {
  const std::string bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
  MemorySink sink(bytes.size() / 57 * 78 + 80);
  for (auto _ : state) {
    MemorySource source_buffer(bytes);
    std::istream source(&source_buffer);
    std::ostream destination(&sink);
    sink.Rewind();
    pmr::net::EncodeStream(source, destination);
    benchmark::DoNotOptimize(sink.Written());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EncodeStream)->Arg(kPictureBytes)->Arg(kLargeBytes);

void BM_EncodeOneLine(benchmark::State& state) {
  const std::string bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text = pmr::net::EncodeOneLine(bytes);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EncodeOneLine)->Arg(kPictureBytes)->Arg(kLargeBytes);

void BM_DecodeText(benchmark::State& state) {
  const std::string text =
      pmr::net::EncodeOneLine(RandomBytes(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) {
    std::string bytes = pmr::net::DecodeText(text);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DecodeText)->Arg(kPictureBytes)->Arg(kLargeBytes);

// The upload's whole picture step: read the file and encode it on one line.
void BM_EncodePictureFile(benchmark::State& state) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / "pmr_bench_base64_picture.jpg";
  {
    const std::string bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
    std::ofstream out(file, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  for (auto _ : state) {
    std::string text = pmr::net::EncodePictureFile(file);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
}
BENCHMARK(BM_EncodePictureFile)->Arg(kPictureBytes);

// The one-line form streamed in chunks of whole groups, the way coreutils works through a file.
int EncodeOneLineChunks(const char* path) {
  std::ifstream source(path, std::ios::binary);
  if (!source.is_open()) throw pmr::net::Base64Error(std::string("Cannot open ") + path);
  std::vector<char> chunk(3 * 32 * 1024);
  for (;;) {
    source.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    if (source.bad()) throw pmr::net::Base64Error(std::string("Cannot read ") + path);
    const auto count = static_cast<std::size_t>(source.gcount());
    if (count == 0) break;
    const std::string text = pmr::net::EncodeOneLine(std::string_view(chunk.data(), count));
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

// One-line text decoded in chunks of whole groups, as coreutils base64 -d reads a file.
int DecodeFileChunks(const char* path) {
  std::ifstream source(path, std::ios::binary);
  if (!source.is_open()) throw pmr::net::Base64Error(std::string("Cannot open ") + path);
  std::vector<char> chunk(4 * 32 * 1024);
  for (;;) {
    source.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    if (source.bad()) throw pmr::net::Base64Error(std::string("Cannot read ") + path);
    const auto count = static_cast<std::size_t>(source.gcount());
    if (count == 0) break;
    const std::string bytes = pmr::net::DecodeText(std::string_view(chunk.data(), count));
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int EncodeFileToStandardOutput(const std::string& mode, const char* path) {
  try {
    if (mode == "--decode-file") return DecodeFileChunks(path);
    if (mode == "--encode-file") return EncodeOneLineChunks(path);
    if (mode == "--encode-picture") {
      const std::string text = pmr::net::EncodePictureFile(path);
      if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) return 1;
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
    std::ios::sync_with_stdio(false);
    std::ifstream source(path, std::ios::binary);
    if (!source.is_open()) throw pmr::net::Base64Error(std::string("Cannot open ") + path);
    pmr::net::EncodeStream(source, std::cout);
    std::cout.flush();
    return std::cout ? 0 : 1;
  } catch (const pmr::Error& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3) {
    const std::string mode = argv[1];
    if (mode == "--encode-file" || mode == "--encode-picture" || mode == "--encode-stream" ||
        mode == "--decode-file") {
      return EncodeFileToStandardOutput(mode, argv[2]);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

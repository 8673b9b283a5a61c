// Picture fetch speed of our FTP client against a live server: one whole fetch per iteration
// (connect, login, CWD, SIZE, active-mode RETR into a file, drop), as the gateway does it.
// The server comes from PMR_BENCH_FTP=host:port (anonymous, password "pw"), serving
// /200k.bin and /5m.bin; bench/ftp_fetch.sh starts one and sets it.
//
// Also a tool for bench/ftp_fetch.sh, which times whole processes beside curl:
//   bench_ftp_fetch --fetch HOST PORT DIR FILE OUT     one fetch into OUT; exit 0 on success

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "net/ftp_client.h"

namespace {

bool Fetch(const std::string& host, uint16_t port, const std::string& dir, const std::string& file,
           const std::string& out_path) {
  pmr::net::TFTPClient client;
  client.set_host(host);
  client.set_port(port);
  client.set_username("anonymous");
  client.set_password("pw");
  client.Connect();
  client.ChangeDir(dir);
  (void)client.Size(file);
  std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
  bool complete = client.Get(file, out);
  client.Disconnect();
  out.close();
  return complete && !out.fail();
}

void BM_Fetch(benchmark::State& state, const char* file) {
  const char* server = std::getenv("PMR_BENCH_FTP");
  std::string address = server ? server : "";
  std::size_t colon = address.rfind(':');
  if (colon == std::string::npos) {
    state.SkipWithError("set PMR_BENCH_FTP=host:port (bench/ftp_fetch.sh does)");
    return;
  }
  std::string host = address.substr(0, colon);
  auto port = static_cast<uint16_t>(std::stoi(address.substr(colon + 1)));
  std::string out =
      std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/bench_ftp_fetch.out";
  int64_t bytes = 0;
  for (auto _ : state) {
    if (!Fetch(host, port, "/", file, out)) {
      state.SkipWithError("fetch failed");
      return;
    }
    std::ifstream in(out, std::ios::binary | std::ios::ate);
    bytes += static_cast<int64_t>(in.tellg());
  }
  state.SetBytesProcessed(bytes);
  state.counters["fetches/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(BM_Fetch, picture_200k, "200k.bin")->Iterations(50)->UseRealTime();
BENCHMARK_CAPTURE(BM_Fetch, large_5m, "5m.bin")->Iterations(50)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::string(argv[1]) == "--fetch") {
    try {
      return Fetch(argv[2], static_cast<uint16_t>(std::stoi(argv[3])), argv[4], argv[5], argv[6])
                 ? 0
                 : 1;
    } catch (const std::exception& e) {
      std::cerr << "bench_ftp_fetch: " << e.what() << "\n";
      return 1;
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// Cost of reading one recognition callback: parse the body and read the four members the
// handler uses as text.
#include <benchmark/benchmark.h>

#include <string>

#include "net/json.h"

namespace {

constexpr std::u16string_view kCallback =
    u"{\"personId\":\"1001\",\"type\":\"face_0\",\"path\":\"ftp://127.0.0.1/snap/a1.jpg\","
    u"\"time\":1600000000000}";

void BM_ParseCallbackAndReadMembers(benchmark::State& state) {
  for (auto _ : state) {
    pmr::net::JsonValuePtr root = pmr::net::ParseJson(kCallback);
    for (std::u16string_view name : {u"personId", u"type", u"path", u"time"}) {
      pmr::net::JsonValuePtr member = pmr::net::GetMember(root, name);
      std::u16string text = member ? pmr::net::AsText(*member) : std::u16string();
      benchmark::DoNotOptimize(text);
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseCallbackAndReadMembers);

}  // namespace

BENCHMARK_MAIN();

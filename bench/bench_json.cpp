// Cost of reading one recognition callback: parse the body and read the four members the
// handler uses as text. With Debian's nlohmann-json3-dev present, the same work by that library
// runs in the same binary as the peer.
#include <benchmark/benchmark.h>

#include <string>

#ifdef PMR_HAVE_NLOHMANN_JSON
#include <nlohmann/json.hpp>
#endif

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

#ifdef PMR_HAVE_NLOHMANN_JSON
// The same body in UTF-8, its own input form; a number is read as its text, as ours does.
constexpr std::string_view kCallbackUtf8 =
    "{\"personId\":\"1001\",\"type\":\"face_0\",\"path\":\"ftp://127.0.0.1/snap/a1.jpg\","
    "\"time\":1600000000000}";

void BM_NlohmannParseCallbackAndReadMembers(benchmark::State& state) {
  for (auto _ : state) {
    nlohmann::json root = nlohmann::json::parse(kCallbackUtf8);
    for (const char* name : {"personId", "type", "path", "time"}) {
      auto member = root.find(name);
      std::string text;
      if (member != root.end()) {
        text = member->is_string() ? member->get_ref<const std::string&>() : member->dump();
      }
      benchmark::DoNotOptimize(text);
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NlohmannParseCallbackAndReadMembers);
#endif

}  // namespace

BENCHMARK_MAIN();

// The parse on one thread and on two at once, each thread parsing its own 200 000-pair
// document: items per second at 2 against 1 is what the machine allows the module.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "commands/builtins.hpp"

namespace {

std::string document_text(int n, const char* suffix) {
    std::string text;
    text.reserve(static_cast<std::size_t>(n) * 48);
    char key[32];
    for (int i = 0; i < n; ++i) {
        std::snprintf(key, sizeof key, "key_%07d", i);
        text += key;
        text += suffix;
        text += " = value number " + std::to_string(i) + " with some text\n";
    }
    return text;
}

void BM_ParseOnThreads(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    constexpr int kPairs = 200000;
    std::vector<std::string> texts;
    for (int t = 0; t < threads; ++t) texts.push_back(document_text(kPairs, t == 0 ? "" : "b"));
    for (auto _ : state) {
        std::vector<std::thread> running;
        for (int t = 0; t < threads; ++t)
            running.emplace_back([&texts, t] {
                auto doc = qern::parse_document(texts[static_cast<std::size_t>(t)]);
                benchmark::DoNotOptimize(doc);
            });
        for (std::thread& th : running) th.join();
    }
    state.SetItemsProcessed(state.iterations() * threads * kPairs);
}
BENCHMARK(BM_ParseOnThreads)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

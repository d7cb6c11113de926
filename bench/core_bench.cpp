// C++ benchmarks of the core: parsing and merging, lookups, literals, and validation per
// type family. Run through ./dev bench.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "commands/builtins.hpp"
#include "qern/literals.hpp"
#include "types/typed.hpp"
#include "types/types.hpp"

namespace {

std::string pairs_text(int n) {
    std::string text;
    text.reserve(static_cast<std::size_t>(n) * 32);
    for (int i = 0; i < n; ++i)
        text += "key_" + std::to_string(i) + " = value_" + std::to_string(i) + "\n";
    return text;
}

qern::QernDocument document_of(int n) {
    return std::move(qern::parse_document(pairs_text(n))).value();
}

void BM_Parse(benchmark::State& state) {
    const std::string text = pairs_text(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto doc = qern::parse_document(text);
        benchmark::DoNotOptimize(doc);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_Parse)->Arg(1000)->Arg(200000)->Unit(benchmark::kMillisecond);

void BM_ParseWithSchemas(benchmark::State& state) {
    std::string text;
    for (int s = 0; s < state.range(0); ++s)
        text += "@schema S" + std::to_string(s) + " { f" + std::to_string(s) + ": i32 }\n";
    text += pairs_text(10000);
    for (int i = 0; i < 10000; ++i)
        text.append("f").append(std::to_string(i % state.range(0))).append(" = 42\n");
    for (auto _ : state) {
        auto doc = qern::parse_document(text);
        benchmark::DoNotOptimize(doc);
    }
}
BENCHMARK(BM_ParseWithSchemas)->Arg(1)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_Lookups(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const qern::QernDocument doc = document_of(n);
    std::vector<std::string> keys, values;
    for (int i = 0; i < 1024; ++i) {
        const int k = (i * 7919) % n;
        keys.push_back("key_" + std::to_string(k));
        values.push_back("value_" + std::to_string(k));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(doc.find_obj(keys[i & 1023]));
        benchmark::DoNotOptimize(doc.find_key(values[i & 1023]));
        ++i;
    }
}
BENCHMARK(BM_Lookups)->Arg(1000)->Arg(1000000);

void BM_FindDeepChain(benchmark::State& state) {
    std::string text;
    for (int i = 0; i < state.range(0); ++i)
        text.append("k")
            .append(std::to_string(i))
            .append(" = k")
            .append(std::to_string(i + 1))
            .append("\n");
    const qern::QernDocument doc = std::move(qern::parse_document(text)).value();
    for (auto _ : state) benchmark::DoNotOptimize(doc.find_deep("k0"));
}
BENCHMARK(BM_FindDeepChain)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_Literals(benchmark::State& state) {
    const std::string list = "[1, 2, [3, 4], {a = 1}, 'x', \"y\", 7, 8, 9, 10]";
    const std::string object = "{ a = 1, b: 'x', c = [1, 2], d = { e = f }, g = 2 }";
    for (auto _ : state) {
        benchmark::DoNotOptimize(qern::parse_list(list));
        benchmark::DoNotOptimize(qern::parse_inline_object(object));
    }
}
BENCHMARK(BM_Literals);

void BM_Validate(benchmark::State& state, const char* type, const char* value) {
    const qern::QernDocument doc =
        std::move(qern::parse_document(
                      "@type port = i32\n@schema Point { x: f64, y: f64, label*: string }\n"))
            .value();
    for (auto _ : state) {
        auto r = qern::validate_value(doc, type, value);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK_CAPTURE(BM_Validate, i32, "i32", "-2147483648");
BENCHMARK_CAPTURE(BM_Validate, f64, "f64", "-1.25e-3");
BENCHMARK_CAPTURE(BM_Validate, color, "color", "#A1b2C3");
BENCHMARK_CAPTURE(BM_Validate, alias, "port", "8080");
BENCHMARK_CAPTURE(BM_Validate, datetime, "time::datetime", "2024-01-01T10:00:00");
BENCHMARK_CAPTURE(BM_Validate, vector3, "math::vector3", "1, 2.5, -3e2");
BENCHMARK_CAPTURE(BM_Validate, physics, "physics::Nautical_Mile", "12.5");
BENCHMARK_CAPTURE(BM_Validate, list, "list<i32>", "[1, 2, 3, 4, 5, 6, 7, 8]");

// A service's configuration: `n` server records, each an inline object of five typed
// fields, and `n` samples; what parse + to_typed_dict is measured on against json.loads.
std::string service_text(int n) {
    std::string text =
        "@schema Server { host: string, port: i32, weight: f64, enabled: bool, "
        "tags: list<string> }\n"
        "@schema Service { name: string, workers: i32, ratio: f64, debug: bool, "
        "servers: list<Server>, samples: list<f64> }\n"
        "name = shop\nworkers = 8\nratio = 0.75\ndebug = false\nservers = [";
    for (int i = 0; i < n; ++i) {
        if (i > 0) text += ", ";
        char host[32];
        std::snprintf(host, sizeof host, "h%07d.example.com", i);
        text += "{ host = " + std::string(host) + ", port = " + std::to_string(8000 + i % 1000) +
                ", weight = " + std::to_string((i % 100) / 8.0) +
                ", enabled = " + (i % 3 == 0 ? "true" : "false") + ", tags = [web, zone" +
                std::to_string(i % 4) + "] }";
    }
    text += "]\nsamples = [";
    for (int i = 0; i < n; ++i) text += (i > 0 ? ", " : "") + std::to_string(i / 4.0);
    return text + "]\n";
}

void BM_ServiceParse(benchmark::State& state) {
    const std::string text = service_text(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto doc = qern::parse_document(text);
        benchmark::DoNotOptimize(doc);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ServiceParse)->Arg(20000)->Unit(benchmark::kMillisecond);

// Counts what a typed walk sends, so that only the walk is measured.
class CountingSink final : public qern::TypedSink {
  public:
    std::size_t count = 0;
    bool on_string(std::string_view) override { return ++count != 0; }
    bool on_int(std::int64_t) override { return ++count != 0; }
    bool on_float(double) override { return ++count != 0; }
    bool on_bool(bool) override { return ++count != 0; }
    bool on_date(const qern::Date&) override { return ++count != 0; }
    bool on_datetime(const qern::DateTime&) override { return ++count != 0; }
    bool on_duration(const qern::Duration&) override { return ++count != 0; }
    bool begin_list() override { return ++count != 0; }
    bool end_list() override { return true; }
    bool begin_tuple(std::size_t) override { return ++count != 0; }
    bool end_tuple() override { return true; }
    bool begin_object(std::size_t) override { return ++count != 0; }
    bool key(std::string_view) override { return true; }
    bool end_object() override { return true; }
};

void BM_ServiceTypedWalk(benchmark::State& state) {
    const auto doc = qern::parse_document(service_text(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        CountingSink sink;
        auto r = qern::convert_typed_document(doc.value(), sink);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(sink.count);
    }
}
BENCHMARK(BM_ServiceTypedWalk)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace

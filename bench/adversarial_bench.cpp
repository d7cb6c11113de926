// Hostile input at sizes too slow for the tests. Each benchmark runs two sizes so that
// growth that is not linear shows as a time ratio well above the size ratio. The
// max_rss_mb counter is the process's peak resident size so far (it never falls).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <string>

#include "commands/builtins.hpp"
#include "types/types.hpp"

namespace {

std::string repeat(std::string_view s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

void report_peak(benchmark::State& state) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["max_rss_mb"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Runs `op` over `text` and reports bytes per second and the peak resident size.
template <class Op>
void run(benchmark::State& state, const std::string& text, Op&& op) {
    for (auto _ : state) op();
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    report_peak(state);
}

void expect(benchmark::State& state, bool ok, const char* what) {
    if (!ok) state.SkipWithError(what);
}

// Assignments with distinct keys, 50 bytes a line, up to range(0) megabytes.
void BM_AdversarialLargeText(benchmark::State& state) {
    const std::size_t bytes = static_cast<std::size_t>(state.range(0)) << 20;
    std::string text;
    text.reserve(bytes + 64);
    for (std::size_t i = 0; text.size() < bytes; ++i)
        text +=
            "section_" + std::to_string(i) + ".key = value number " + std::to_string(i) + " #x\n";
    run(state, text, [&] {
        auto doc = qern::parse_document(text);
        expect(state, doc.ok(), "parse failed");
        benchmark::DoNotOptimize(doc);
    });
}
BENCHMARK(BM_AdversarialLargeText)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(2);

// One line of range(0) megabytes full of quotes and brackets.
void BM_AdversarialLongLine(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0)) << 20;
    const std::string text = "k = " + repeat("'[\"{=#]}", n / 8) + " # tail";
    run(state, text, [&] {
        auto doc = qern::parse_document(text);
        expect(state, doc.ok() && doc->find_list("k") == std::nullopt, "wrong result");
        benchmark::DoNotOptimize(doc);
    });
}
BENCHMARK(BM_AdversarialLongLine)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

void BM_AdversarialManyKeys(benchmark::State& state) {
    std::string text;
    for (int i = 0; i < state.range(0); ++i)
        text.append("k")
            .append(std::to_string(i))
            .append(" = ")
            .append(std::to_string(i))
            .append("\n");
    run(state, text, [&] {
        auto doc = qern::parse_document(text);
        expect(state, doc.ok() && doc->data().size() == static_cast<std::size_t>(state.range(0)),
               "wrong size");
        benchmark::DoNotOptimize(doc->find_key("0"));
    });
}
BENCHMARK(BM_AdversarialManyKeys)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// A "list<list<...>>" type range(0) levels deep, against a value as deep (which stops at
// the depth limit) and against a mismatch one level down.
void BM_AdversarialDeepListType(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::string type = repeat("list<", n) + "i32" + repeat(">", n);
    const std::string deep = repeat("[", n) + "1" + repeat("]", n);
    const qern::QernDocument doc = qern::new_document();
    run(state, type, [&] {
        auto a = qern::validate_value(doc, type, deep);
        auto b = qern::validate_value(doc, type, "[x]");
        expect(state, !a.ok() && !b.ok(), "deep values must fail");
        benchmark::DoNotOptimize(b);
    });
}
BENCHMARK(BM_AdversarialDeepListType)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// 255 nested lists around one failing item of range(0) kilobytes: the message holds the
// item once per level, and building it must cost no more than its length.
void BM_AdversarialDeepListFailure(benchmark::State& state) {
    const std::size_t levels = 255;
    std::string item(static_cast<std::size_t>(state.range(0)) << 10, ' ');
    item.insert(item.begin(), 'x');
    item.push_back('y');
    const std::string type = repeat("list<", levels) + "i32" + repeat(">", levels);
    const std::string value = repeat("[", levels) + item + repeat("]", levels);
    const qern::QernDocument doc = qern::new_document();
    run(state, value, [&] {
        auto r = qern::validate_value(doc, type, value);
        expect(state, !r.ok(), "must fail");
        benchmark::DoNotOptimize(r);
    });
}
BENCHMARK(BM_AdversarialDeepListFailure)->Arg(16)->Arg(128)->Unit(benchmark::kMillisecond);

// range(0) kilobytes of "{a=" nesting assigned to a field of a schema that contains itself.
void BM_AdversarialSelfSchemaBraces(benchmark::State& state) {
    const std::size_t levels = (static_cast<std::size_t>(state.range(0)) << 10) / 4;
    const std::string text =
        "@schema A { a: A }\n@schema Root { root: A }\nroot = " + repeat("{a=", levels) +
        repeat("}", levels);
    run(state, text, [&] {
        auto doc = qern::parse_document(text);
        expect(state, !doc.ok(), "must fail at the depth limit");
        benchmark::DoNotOptimize(doc);
    });
}
BENCHMARK(BM_AdversarialSelfSchemaBraces)->Arg(128)->Arg(1024)->Unit(benchmark::kMillisecond);

// One schema of range(0) fields, then an assignment to each field.
void BM_AdversarialWideSchema(benchmark::State& state) {
    std::string text = "@schema Wide {";
    std::string assignments;
    for (int i = 0; i < state.range(0); ++i) {
        const std::string n = std::to_string(i);
        text.append(" f").append(n).append(": i32,");
        assignments.append("f").append(n).append(" = ").append(n).append("\n");
    }
    text += " }\n" + assignments;
    run(state, text, [&] {
        auto doc = qern::parse_document(text);
        expect(state, doc.ok(), "parse failed");
        benchmark::DoNotOptimize(doc);
    });
}
BENCHMARK(BM_AdversarialWideSchema)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// A base file of range(0) schemas that all share the field x, derived whole.
void BM_AdversarialDeriveManySchemas(benchmark::State& state) {
    std::string base;
    for (int i = 0; i < state.range(0); ++i)
        base += "@schema S" + std::to_string(i) + " { x: i32 }\n";
    const std::string path =
        "/tmp/qern_adversarial_base_" + std::to_string(state.range(0)) + ".qrn";
    if (FILE* f = std::fopen(path.c_str(), "w")) {
        std::fwrite(base.data(), 1, base.size(), f);
        std::fclose(f);
    }
    const std::string text = "@derive " + path + "\nx = 1\n";
    run(state, base, [&] {
        auto doc = qern::parse_document(text);
        expect(state, doc.ok() && doc->schemas().size() == static_cast<std::size_t>(state.range(0)),
               "derive failed");
        benchmark::DoNotOptimize(doc);
    });
    std::remove(path.c_str());
}
BENCHMARK(BM_AdversarialDeriveManySchemas)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// An "@schema" block left open for range(0) lines.
void BM_AdversarialUnclosedBlock(benchmark::State& state) {
    std::string text = "@schema Big {\n";
    for (int i = 0; i < state.range(0); ++i)
        text.append("f").append(std::to_string(i)).append(": i32 {\n");
    run(state, text, [&] {
        auto doc = qern::parse_document(text);
        expect(state, !doc.ok(), "must fail");
        benchmark::DoNotOptimize(doc);
    });
}
BENCHMARK(BM_AdversarialUnclosedBlock)->Arg(200000)->Arg(2000000)->Unit(benchmark::kMillisecond);

// range(0) merges of 4 KB each into one document; the total text grows linearly.
void BM_AdversarialManyFourKilobyteMerges(benchmark::State& state) {
    std::vector<std::string> texts;
    int key = 0;
    for (int m = 0; m < state.range(0); ++m) {
        std::string text;
        while (text.size() < 4096) text += "key" + std::to_string(key++) + " = v\n";
        texts.push_back(std::move(text));
    }
    for (auto _ : state) {
        qern::QernDocument doc = qern::new_document();
        for (const std::string& text : texts) expect(state, doc.merge_content(text).ok(), "merge");
        benchmark::DoNotOptimize(doc);
    }
    report_peak(state);
}
BENCHMARK(BM_AdversarialManyFourKilobyteMerges)
    ->Arg(250)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// find_deep along a chain and around a ring of range(0) keys.
void BM_AdversarialFindDeep(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::string text;
    for (int i = 0; i < n; ++i)
        text.append("k")
            .append(std::to_string(i))
            .append(" = k")
            .append(std::to_string((i + 1) % n))
            .append("\n");
    const qern::QernDocument doc = std::move(qern::parse_document(text)).value();
    for (auto _ : state) benchmark::DoNotOptimize(doc.find_deep("k0"));
    report_peak(state);
}
BENCHMARK(BM_AdversarialFindDeep)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

// The typed walk on arbitrary input. "TYPE\0VALUE" converts one value as the type against a
// document of aliases and schemas; any other input is parsed as a document and, when it
// parses, converted whole. Properties: the events a walk sends nest properly and make one
// value; a failure is a Conversion error naming the key, the type and the value; a
// converter reused for a second value gives what a fresh one gives, and so does one given
// the reading a check kept of a list of objects; a sink that stops early ends the walk
// without an error.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "commands/builtins.hpp"
#include "types/typed.hpp"
#include "types/types.hpp"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

const qern::QernDocument& document() {
    static const qern::QernDocument doc = [] {
        auto parsed = qern::parse_document(
            "@type port = i32\n@type vec = math::vector3\n@type ids = list<i32>\n"
            "@type pts = list<Point>\n@type when = time::datetime\n"
            "@schema Point { x: f64, y: f64, label*: string }\n"
            "@schema Tree { value: i32, left*: Tree, right*: Tree, tags*: list<list<string>> }\n"
            "@schema Loop { next: Loop }\n"
            "@schema Wide { a: i32, b: f64, c: bool, d: string, e: color, f: time::duration,"
            " g: math::matrix3x3, h: physics::byte, i: physics::meter, j: list<Point>,"
            " k*: when, l*: vec }\n");
        if (!parsed) std::abort();
        return std::move(parsed).value();
    }();
    return doc;
}

// Records a walk's events as text and checks that they nest: keys only in objects, each
// followed by one value, a tuple holding the number of items it announced and an object
// no more than it announced. Stops after `budget` events when it is set.
class CheckingSink final : public qern::TypedSink {
  public:
    explicit CheckingSink(std::size_t budget = SIZE_MAX) : budget_(budget) {}
    std::string events;
    std::size_t values_done = 0;  // complete values at the outermost level

    bool on_string(std::string_view text) override {
        return value("s" + std::to_string(text.size()) + ":" + std::string(text));
    }
    bool on_int(std::int64_t n) override { return value("i" + std::to_string(n)); }
    bool on_float(double x) override { return value("f" + std::to_string(x)); }
    bool on_bool(bool b) override { return value(b ? "t" : "F"); }
    bool on_date(const qern::Date& d) override {
        check(d.month >= 1 && d.month <= 12 && d.day >= 1 && d.day <= 31);
        return value("D" + std::to_string(d.year) + "-" + std::to_string(d.month) + "-" +
                     std::to_string(d.day));
    }
    bool on_datetime(const qern::DateTime& t) override {
        check(t.hour < 24 && t.minute < 60 && t.second < 60 && t.microsecond < 1000000);
        return value("T" + std::to_string(t.date.year) + ":" + std::to_string(t.hour));
    }
    bool on_duration(const qern::Duration& d) override {
        check(d.seconds >= 0 && d.seconds < 86400 && d.microseconds >= 0 &&
              d.microseconds < 1000000 && d.days <= 999999999 && d.days >= -999999999);
        return value("P" + std::to_string(d.days) + "." + std::to_string(d.seconds));
    }
    bool begin_list() override { return open(Open::List, SIZE_MAX, "["); }
    bool end_list() override { return close(Open::List, "]"); }
    bool begin_tuple(std::size_t n) override { return open(Open::Tuple, n, "("); }
    bool end_tuple() override { return close(Open::Tuple, ")"); }
    bool begin_object(std::size_t n) override { return open(Open::Object, n, "{"); }
    bool key(std::string_view name) override {
        check(!open_.empty() && open_.back().kind == Open::Object && !open_.back().keyed);
        open_.back().keyed = true;
        return spend("k" + std::string(name) + "=");
    }
    bool end_object() override { return close(Open::Object, "}"); }

    bool balanced() const { return open_.empty(); }

  private:
    struct Open {
        enum Kind { List, Tuple, Object } kind;
        std::size_t announced;
        std::size_t items = 0;
        bool keyed = false;
    };

    bool spend(const std::string& event) {
        events += event;
        events += ' ';
        if (budget_ == 0) return false;
        --budget_;
        return true;
    }
    // A value in the group open around it.
    void place() {
        if (open_.empty()) {
            ++values_done;
            return;
        }
        Open& o = open_.back();
        if (o.kind == Open::Object) {
            check(o.keyed);
            o.keyed = false;
        }
        ++o.items;
        check(o.items <= o.announced);
    }
    bool value(const std::string& event) {
        place();
        return spend(event);
    }
    bool open(Open::Kind kind, std::size_t n, const char* event) {
        if (!open_.empty() && open_.back().kind == Open::Object) check(open_.back().keyed);
        open_.push_back({kind, n});
        return spend(event);
    }
    bool close(Open::Kind kind, const char* event) {
        check(!open_.empty() && open_.back().kind == kind && !open_.back().keyed);
        if (kind == Open::Tuple) check(open_.back().items == open_.back().announced);
        open_.pop_back();
        place();
        return spend(event);
    }

    std::vector<Open> open_;
    std::size_t budget_;
};

void check_failure(const qern::QernError& error, std::string_view type, std::string_view value) {
    const auto* c = error.as<qern::QernError::Conversion>();
    check(c != nullptr && c->key == "k" && c->type == type && c->value == value);
    check(!error.display().empty());
}

void one_value(std::string_view type, std::string_view value) {
    const qern::QernDocument& doc = document();
    CheckingSink fresh;
    const auto first = qern::convert_typed(doc, "k", type, value, fresh);
    if (first) {
        check(fresh.balanced() && fresh.values_done == 1);
    } else {
        check_failure(first.error(), type, value);
    }
    // A converter that has resolved types for other values gives the same events.
    qern::TypedConverter reused(doc);
    for (std::string_view warm : {"list<Point>", "Tree", "Wide", "pts"}) {
        CheckingSink ignored;
        (void)reused.convert("k", warm, "[{x = 1, y = 2}]", ignored);
    }
    CheckingSink again;
    const auto second = reused.convert("k", type, value, again);
    check(second.ok() == first.ok() && again.events == fresh.events);
    // A list of objects converted from how its check read it gives the same events, or
    // the same failure.
    std::unique_ptr<const qern::ObjectListReading> reading;
    if (qern::validate_field(doc, type, value, "T", "k", 0, &reading) && reading) {
        CheckingSink replayed;
        const auto r = qern::TypedConverter(doc).convert("k", type, value, replayed, reading.get());
        check(r.ok() == first.ok() && replayed.events == fresh.events);
        if (!r) check(r.error().display() == first.error().display());
    }
    // Stopped after a few events: no error, whatever the value.
    CheckingSink stopping(value.size() % 7);
    const auto stopped = qern::convert_typed(doc, "k", type, value, stopping);
    if (!stopped) check_failure(stopped.error(), type, value);
}

void whole_document(std::string_view text) {
    auto parsed = qern::parse_document(text);
    if (!parsed) return;
    CheckingSink sink;
    const auto converted = qern::convert_typed_document(parsed.value(), sink);
    if (converted) {
        check(sink.balanced() && sink.values_done == 1);
    } else {
        check(converted.error().as<qern::QernError::Conversion>() != nullptr);
        check(!converted.error().display().empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\0');
    if (cut == std::string_view::npos) {
        whole_document(input);
    } else {
        one_value(input.substr(0, cut), input.substr(cut + 1));
    }
    return 0;
}

#pragma once

// Random documents for the syntax tree's and the formatter's property tests.

#include <random>
#include <string>
#include <string_view>

namespace qern::testing {

inline std::string pick(std::mt19937& rng, std::initializer_list<const char*> choices) {
    std::uniform_int_distribution<std::size_t> d(0, choices.size() - 1);
    return *(choices.begin() + d(rng));
}

inline bool chance(std::mt19937& rng, int percent) {
    return std::uniform_int_distribution<int>(0, 99)(rng) < percent;
}

// Whitespace of every sort the parser trims, ASCII and not.
inline std::string blanks(std::mt19937& rng) {
    std::string out;
    const int n = std::uniform_int_distribution<int>(0, 2)(rng);
    for (int i = 0; i < n; ++i)
        out += pick(rng, {" ", " ", "  ", "\t", "\xC2\xA0", "\xE3\x80\x80", "\xE2\x80\x83", "\v"});
    return out;
}

inline std::string word(std::mt19937& rng) {
    return pick(rng, {"a",
                      "port",
                      "host",
                      "x1",
                      "name",
                      "k",
                      "ratio",
                      "Point",
                      "S",
                      "T",
                      "\xC3\xA9t\xC3\xA9",
                      "a.b",
                      "a-b",
                      "list<i32>",
                      "i32",
                      "string",
                      "f64",
                      "math::vector3",
                      "#",
                      "a#b",
                      "'q'",
                      "\"q\"",
                      "it's",
                      "[a = b]",
                      "{x}",
                      "#FF0000",
                      "a b",
                      "nowhere.qrn",
                      "dir/f.qrn",
                      "=",
                      "::",
                      "*",
                      "x*",
                      "\xEF\xBB\xBF",
                      "\xEF\xBB\xBFk"});
}

inline std::string comment(std::mt19937& rng) {
    return pick(rng, {"# note", "#", "#  two", "#\ttab", "# a = b", "# 'open", "# }", "# {"});
}

// One line, or a few lines of a block: valid and invalid statements, comments, quotes.
inline std::string random_statement(std::mt19937& rng) {
    std::string s = blanks(rng);
    switch (std::uniform_int_distribution<int>(0, 13)(rng)) {
        case 0:
        case 1:
        case 2:
        case 3:
            s += word(rng) + blanks(rng) + "=" + blanks(rng) + word(rng);
            if (chance(rng, 30)) s += blanks(rng) + word(rng);
            break;
        case 4:
            s += comment(rng);
            break;
        case 5:
            break;  // blank
        case 6:
            s += "@type" + std::string(" ") + blanks(rng) + word(rng) + blanks(rng) +
                 (chance(rng, 80) ? "=" : "") + blanks(rng) + word(rng);
            break;
        case 7:
        case 8: {
            s += "@schema " + word(rng) + blanks(rng) + (chance(rng, 95) ? "{" : "");
            const int fields = std::uniform_int_distribution<int>(0, 4)(rng);
            const bool multi = chance(rng, 60);
            for (int i = 0; i < fields; ++i) {
                s += multi ? "\n" + blanks(rng) : std::string(" ");
                s += word(rng) + (chance(rng, 20) ? "*" : "") + (chance(rng, 90) ? ":" : "") +
                     blanks(rng) + (chance(rng, 15) ? "\n" : "") + word(rng);
                if (chance(rng, 30)) s += ",";
                if (multi && chance(rng, 20)) s += "  " + comment(rng);
                if (multi && chance(rng, 10)) s += "\n";
            }
            if (chance(rng, 90)) s += (multi ? "\n" : " ") + blanks(rng) + std::string("}");
            break;
        }
        case 9:
            s += "@import" + pick(rng, {" ", "\t", "  "}) +
                 pick(rng, {"nowhere.qrn", "\" nowhere.qrn \"", "'dir/a b.qrn'", "", "\"x'"});
            break;
        case 10:
            s += "@derive " + pick(rng, {"nowhere.qrn", "nowhere.qrn::A::B", "\"no where.qrn\" A",
                                         "'x.qrn'::", "y.qrn :: A ::"});
            break;
        case 11:
            s += pick(rng, {"@", "@ import x", "@nope x", "@Import a", "@schema", "@type x i32",
                            "@type = i32", "@type x =", "@schema P x: f64", "@schema { x: i32 }"});
            break;
        case 12:
            s += word(rng) + blanks(rng) + word(rng);  // often no '='
            break;
        default:
            s += pick(rng, {"]x = 1", " = 1", "a = \"b # c\" # d", "a = 'x", "k = [1, 2]",
                            "k = {a = 1}", "k = \"\"", "k =", "k=v#c", "k = v # c # d",
                            "@schema P {\n  a: \"x {\n  b\" # c\n}", "@type t = {\n x }"});
            break;
    }
    if (chance(rng, 20)) s += blanks(rng) + "  " + comment(rng);
    if (chance(rng, 10)) s += blanks(rng);
    return s;
}

inline std::string random_document(std::mt19937& rng) {
    std::string out = chance(rng, 10) ? "\xEF\xBB\xBF" : "";
    const bool crlf = chance(rng, 20);
    const int lines = std::uniform_int_distribution<int>(0, 12)(rng);
    for (int i = 0; i < lines; ++i) {
        std::string line = random_statement(rng);
        if (crlf) {
            std::string converted;
            for (char c : line) converted += c == '\n' ? std::string("\r\n") : std::string(1, c);
            line = converted;
        }
        out += line;
        if (i + 1 < lines || chance(rng, 70)) out += crlf && chance(rng, 90) ? "\r\n" : "\n";
        if (chance(rng, 3)) out += "\r";
    }
    return out;
}

}  // namespace qern::testing

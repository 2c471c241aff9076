// A small regular-expression engine that agrees with the host's `re` module
// on the constructs it accepts, and runs in time linear in the text (a Pike
// VM over a compiled program: no backtracking, no native recursion while
// matching).
//
// Accepted syntax (Python's): literals and escapes (\n \t \xhh \uhhhh ...,
// escaped punctuation), . ^ $ \A \Z \b \B, \d \D \s \S \w \W (Unicode
// meaning), classes [...] with ranges, negation and those escapes,
// alternation, groups ( ), (?: ), (?P<name> ), greedy and lazy quantifiers
// * + ? {m} {m,} {,n} {m,n}, flags IGNORECASE, MULTILINE, DOTALL (also
// inline, as (?ims) at the start or (?i: ) scoped), and lookahead and
// lookbehind (?= ) (?! ) (?<= ) (?<! ) whose body is a fixed sequence of
// single characters and assertions. Anything else (backreferences,
// conditionals, atomic groups, possessive quantifiers, and repeats with a
// variable count whose body can match the empty text, where the host's
// rules for empty passes apply) is refused at compile time.
//
// Texts up to a few thousand characters are searched depth-first with a
// visited set (fast on short messages), longer ones with thread lists;
// patterns whose matches must start with, or contain, a known sequence of
// characters skip the text that cannot hold one.
//
// Text is UTF-8 as produced by aw::append_str (lone surrogates as 3-byte
// sequences); positions are byte offsets.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace aw::rx {

// Same values as the host's re flags.
enum Flag : int { IGNORECASE = 2, MULTILINE = 8, DOTALL = 16, UNICODE = 32 };

struct Match {
    // 2 * (groups + 1) byte offsets; -1 for a group that did not take part.
    std::vector<ptrdiff_t> caps;
    ptrdiff_t start(int g = 0) const { return caps[2 * g]; }
    ptrdiff_t end(int g = 0) const { return caps[2 * g + 1]; }
    bool has(int g) const { return caps[2 * g] >= 0; }
    std::string_view group(std::string_view text, int g = 0) const {
        return has(g) ? text.substr(static_cast<size_t>(caps[2 * g]), static_cast<size_t>(caps[2 * g + 1] - caps[2 * g]))
                      : std::string_view();
    }
};

struct Program;

class Regex {
public:
    Regex() = default;
    Regex(std::string_view pattern, int flags) { compile(pattern, flags); }

    // Returns false (and keeps the reason in error()) when the pattern is
    // malformed or uses something this engine does not offer.
    bool compile(std::string_view pattern, int flags, std::string* error = nullptr);
    bool ok() const { return prog_ != nullptr; }
    const std::string& error() const { return error_; }
    int groups() const;

    // The host's pattern.search(text, from). With must_advance, an empty
    // match at `from` itself is not accepted (the rule finditer and sub use
    // after an empty match).
    bool search(std::string_view text, size_t from, Match& m, bool must_advance = false) const;
    bool search(std::string_view text, Match& m) const { return search(text, 0, m); }
    bool contains_match(std::string_view text) const {
        Match m;
        return search(text, 0, m);
    }

    // The host's finditer: fn(const Match&) for every match, left to right;
    // fn returns false to stop early.
    template <class Fn>
    void for_each(std::string_view text, Fn&& fn) const {
        Match m;
        size_t pos = 0;
        bool must_advance = false;
        while (pos <= text.size() && search(text, pos, m, must_advance)) {
            if (!fn(static_cast<const Match&>(m))) return;
            must_advance = m.end() == m.start();
            pos = static_cast<size_t>(m.end());
        }
    }

    // Short texts are searched depth-first with a visited set, long ones
    // with thread lists; both give the same matches. Tests turn the first
    // off to exercise the second.
    void set_backtracking(bool on) { backtracking_ = on; }

    // The host's sub with a literal replacement text (no group references);
    // count 0 replaces every match. Appends the result to out.
    void sub_append(std::string_view text, std::string_view repl, std::string& out, size_t count = 0) const;

private:
    std::shared_ptr<const Program> prog_;
    std::string error_;
    bool backtracking_ = true;
};

}  // namespace aw::rx

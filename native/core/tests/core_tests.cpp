// The core on its own, without Python: the worked examples of each rule.
// Built by the suite with nothing but a C++17 compiler; exits non-zero on a
// failed check.
#include "core/bigint.hpp"
#include "core/regex.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "core/unicode.hpp"
#include "core/workers.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

std::vector<std::string> tokens_of(std::string_view text, const aw::WordSet* stop) {
    std::string buf;
    std::vector<std::string_view> views;
    aw::tokenize(text, stop, buf, views);
    return std::vector<std::string>(views.begin(), views.end());
}

std::string compacted(std::string_view text, long long max_chars) {
    std::string out = "<";  // appends: what was there stays
    aw::compact(text, max_chars, out);
    return out.substr(1);
}

void word_sets() {
    aw::WordSet set{"a", "of", "the", "columns", "averylongstopword"};
    check(set.contains("of") && set.contains("the") && set.contains("averylongstopword"), "members found");
    check(!set.contains("") && !set.contains("o") && !set.contains("ofx") && !set.contains("averylongstopwore"),
          "non-members refused");
    set.add("of");
    check(set.size() == 5, "adding a member again changes nothing");
    aw::WordSet big;
    for (int i = 0; i < 5000; ++i) big.add("w" + std::to_string(i) + std::string(static_cast<size_t>(i % 70), 'x'));
    bool all = true;
    for (int i = 0; i < 5000; ++i) all = all && big.contains("w" + std::to_string(i) + std::string(i % 70, 'x'));
    check(all && big.size() == 5000 && !big.contains("w5000"), "a grown set keeps every word");
}

void tokenizer() {
    aw::WordSet stop{"of", "the"};
    check(tokens_of("OrderDate_total-amount.Region of the X1y", &stop) ==
              std::vector<std::string>{"order", "date", "total", "amount", "region", "x1y"},
          "ASCII: identifier splitting, lowering, stopwords");
    check(tokens_of("Gr\xc3\xb6\xc3\x9f" "e_Wert\xce\xa3 of theCount", &stop) ==
              std::vector<std::string>{"gr", "e", "wert", "count"},
          "non-ASCII letters separate tokens");
    check(tokens_of("of the", nullptr) == std::vector<std::string>{"of", "the"}, "no stopwords without a set");
    check(tokens_of("", &stop).empty() && tokens_of("-_. ", &stop).empty(), "no tokens without words");
}

void texts() {
    // Code points of texts long enough for every path of the count (blocks,
    // the summing of counters, the tails), against decoding one by one.
    std::string text;
    const char* pieces[] = {"a", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\x7f"};
    bool counted = true;
    for (size_t i = 0; i < 9000; ++i) {
        text += pieces[(i * 7 + i / 3) % 5];
        if (i % 97 == 0 || i > 8900) {
            size_t n = 0;
            uint32_t cp;
            for (size_t k = 0; k < text.size(); k += aw::utf8_next(text, k, cp)) ++n;
            counted = counted && aw::count_code_points(text) == n;
        }
    }
    check(counted, "code points counted");
    check(compacted("  a \t b\xe2\x80\x83 c  ", 500) == "a b c", "white space runs collapse, ends trimmed");
    check(compacted("hello   wide world", 9) == "hello...", "cut, right-trimmed, marked");
    check(compacted("h\xc3\xa9llo   wide world", 9) == "h\xc3\xa9llo...", "cut by code points");
    check(compacted("abcdef", 2) == "...", "a limit below 4 keeps nothing");
    check(aw::strip("\xe2\x80\x83 x y \n") == "x y" && aw::strip(" \t").empty(), "strip");
    check(aw::estimate_tokens(9, 4.0) == 3 && aw::estimate_tokens(1, 4.0) == 1 &&
              aw::estimate_tokens(12, 2.5) == 5 && aw::estimate_tokens(0, 4.0) == 0,
          "token estimates");
    check(aw::estimate_tokens(5, -1.0) == 1, "a negative quotient gives one token");
    std::string lowered;
    aw::lower_append("\xc4\xb0STANBUL \xce\x9f\xce\xa3", lowered);  // dotted capital I, final sigma
    check(lowered == "i\xcc\x87stanbul \xce\xbf\xcf\x82", "str.lower");
}

void hashing() {
    check(aw::sha256_hex("") == "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", "sha256 empty");
    aw::Sha256 h;
    std::string chunk(1000, 'a');
    for (int i = 0; i < 1000; ++i) h.update(chunk.substr(0, static_cast<size_t>(i % 7)) + chunk.substr(i % 7));
    check(h.hex() == "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", "sha256 in pieces");
}

void numbers() {
    check(aw::decimal_to_limbs("18446744073709551616") == std::vector<uint64_t>{0, 1}, "2**64");
    check(aw::decimal_to_limbs("0").empty(), "zero has no limbs");
    // 10**10000 - 1 goes through the Karatsuba products and the powers of ten
    std::vector<uint64_t> limbs = aw::decimal_to_limbs(std::string(10000, '9'));
    check(limbs.size() == 520 && limbs[0] == 18446744073709551615ULL && limbs[300] == 12473252098782204902ULL,
          "ten thousand digits");
    check(aw::decimal_digits("\xd9\xa0\xd9\xa1\xd9\xa2") == "12" && aw::decimal_digits("000") == "0",
          "digits of any script, canonical");
}

void patterns() {
    aw::rx::Regex top(R"(\btop\s+(\d+)\b)", aw::rx::IGNORECASE);
    aw::rx::Match m;
    std::string text = "show the TOP 12 regions";
    check(top.search(text, m) && m.group(text, 1) == "12", "search with a group");
    check(!top.search("topology 5", m), "word boundary");
}

std::atomic<int> afterwards_runs{0};
void count_afterwards() { ++afterwards_runs; }

// Several callers at once: one job at a time runs on the kept threads, the
// others are refused at once; every job taken has run by the time its
// KeptJob is gone, and its afterwards runs once, later.
void kept_threads() {
    std::atomic<int> right{0}, refused{0}, wrong{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 3; ++c)
        callers.emplace_back([&] {
            for (int r = 0; r < 300; ++r) {
                std::atomic<int> runs{0};
                const std::function<void()> job = [&] { ++runs; };
                size_t started;
                {
                    aw::KeptJob kept(1, job, count_afterwards);
                    started = kept.started();
                }
                if (started == 0) ++refused;
                (runs.load() == (started ? 1 : 0) ? right : wrong)++;
            }
        });
    for (std::thread& t : callers) t.join();
    check(wrong == 0 && right == 900, "each job taken runs once, before its KeptJob is gone");
    const int taken = 900 - refused;
    for (int k = 0; k < 5000 && afterwards_runs < taken; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    check(afterwards_runs == taken, "afterwards runs once for each job taken");
    check(std::thread::hardware_concurrency() < 2 || refused < 900, "kept threads take jobs");
    const std::function<void()> nothing = [] {};
    aw::KeptJob too_many(std::thread::hardware_concurrency(), nothing);
    check(too_many.started() == 0, "more threads than cores are not kept");
}

}  // namespace

int main() {
    word_sets();
    tokenizer();
    texts();
    hashing();
    numbers();
    patterns();
    kept_threads();
    if (failures) return 1;
    std::puts("core: all checks passed");
    return 0;
}

// The text rules both modules share, on UTF-8: word sets, the tokenizer,
// token estimates, white-space compaction and stripping.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace aw {

// The ASCII characters of a text: a cheap necessary test for one text
// occurring in another (every character of the needle is in the haystack).
class AsciiSet {
public:
    constexpr AsciiSet() = default;
    constexpr explicit AsciiSet(std::string_view s) {
        for (char c : s) insert(static_cast<unsigned char>(c));
    }
    constexpr void insert(unsigned char c) {
        if (c < 128) bits_[c >> 6] |= uint64_t(1) << (c & 63);
    }
    constexpr bool has(unsigned char c) const { return c < 128 && ((bits_[c >> 6] >> (c & 63)) & 1); }
    constexpr bool covers(const AsciiSet& o) const {
        return (o.bits_[0] & ~bits_[0]) == 0 && (o.bits_[1] & ~bits_[1]) == 0;
    }

private:
    uint64_t bits_[2] = {0, 0};
};

// A set of words for membership tests on UTF-8 views. Words of up to eight
// bytes are compared as one integer, so stopword tests cost no string hash.
class WordSet {
public:
    WordSet() = default;
    WordSet(std::initializer_list<const char*> words) {
        for (const char* w : words) add(w);
    }
    WordSet(const WordSet&) = delete;
    WordSet& operator=(const WordSet&) = delete;

    void add(std::string_view w);
    bool contains(std::string_view w) const {
        size_t bit = w.size() < 63 ? w.size() : 63;  // one bit stands for every length from 63 up
        if (!((lengths_ >> bit) & 1)) return false;
        const uint64_t h = hash(w);
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (!s.word) return false;
            if (s.hash == h && *s.word == w) return true;
        }
    }
    size_t size() const { return storage_.size(); }

private:
    struct Slot {
        uint64_t hash = 0;
        const std::string* word = nullptr;  // null: empty
    };
    static uint64_t hash(std::string_view w);
    void insert(const std::string* w);

    std::deque<std::string> storage_;  // stable addresses for the slots
    std::vector<Slot> slots_ = std::vector<Slot>(16);
    size_t mask_ = 15;
    uint64_t lengths_ = 0;
};

// The tokenizer: identifier splitting ('_', '-', '.' become blanks, a blank
// goes before every capital after the first character, then lowercasing),
// then the runs of [a-zA-Z0-9_], minus the words of stop (none when null).
// tokens is replaced; its views point into buf, which is overwritten.
void tokenize(std::string_view text, const WordSet* stop, std::string& buf, std::vector<std::string_view>& tokens);

// The words r"(?u)\b\w\w+\b" finds in str.lower() of text: runs of two or
// more word characters (str.isalnum() or "_"). words is replaced; its views
// point into lowered, which is overwritten.
void lowered_words(std::string_view text, std::string& lowered, std::vector<std::string_view>& words);

// max(1, ceil(code_points / chars_per_token)), 0 for no text; a NaN or an
// infinity comes back as is (the host refuses to make an integer of it).
// chars_per_token must not be 0.
double estimate_tokens(size_t code_points, double chars_per_token);

// Appends text with every white-space run made one blank and the ends
// trimmed; a result longer than max_chars code points is cut to its first
// max(0, max_chars - 3), right-trimmed and given "...".
void compact(std::string_view text, long long max_chars, std::string& out);

// str.strip(): text without white space at either end.
std::string_view strip(std::string_view text);

}  // namespace aw

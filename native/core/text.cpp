#include "core/text.hpp"

#include "core/unicode.hpp"

#include <cmath>
#include <cstring>

namespace aw {

// ------------------------------------------------------------ word sets

uint64_t WordSet::hash(std::string_view w) {
    if (w.size() <= 8) {
        uint64_t k = 0;
        std::memcpy(&k, w.data(), w.size());
        return (k ^ (uint64_t(w.size()) << 59)) * 0x9E3779B97F4A7C15ULL;
    }
    uint64_t h = 1469598103934665603ULL;  // FNV-1a
    for (unsigned char c : w) h = (h ^ c) * 1099511628211ULL;
    return h;
}

void WordSet::insert(const std::string* w) {
    const uint64_t h = hash(*w);
    size_t i = h & mask_;
    while (slots_[i].word) i = (i + 1) & mask_;
    slots_[i] = {h, w};
    lengths_ |= uint64_t(1) << (w->size() < 63 ? w->size() : 63);
}

void WordSet::add(std::string_view w) {
    if (contains(w)) return;
    storage_.emplace_back(w);
    if (storage_.size() * 2 > slots_.size()) {  // at most half full
        slots_.assign(slots_.size() * 2, Slot());
        mask_ = slots_.size() - 1;
        for (const std::string& s : storage_) insert(&s);
    } else {
        insert(&storage_.back());
    }
}

// ------------------------------------------------------------ tokenizer

void lowered_words(std::string_view text, std::string& lowered, std::vector<std::string_view>& words) {
    lowered.clear();
    words.clear();
    lower_append(text, lowered);
    for (size_t i = 0; i < lowered.size();) {
        const size_t start = i;
        size_t count = 0, len = 0;
        uint32_t cp;
        for (; i < lowered.size(); i += len, ++count) {
            len = utf8_next(lowered, i, cp);
            if (!(is_alnum(cp) || cp == '_')) break;
        }
        if (count >= 2) words.push_back(std::string_view(lowered).substr(start, i - start));
        if (count == 0) i += len;
    }
}

void tokenize(std::string_view text, const WordSet* stop, std::string& buf, std::vector<std::string_view>& tokens) {
    tokens.clear();
    if (!is_ascii(text)) {
        buf.clear();
        split_identifier_append(text, buf);
        for_each_word(buf, [&](std::string_view w) {
            if (!stop || !stop->contains(w)) tokens.push_back(w);
        });
        return;
    }
    // On ASCII text identifier splitting makes '_', '-' and '.' blanks and
    // starts a word at every capital, so a token is a run of letters and
    // digits that only a capital may start: one pass, lowering as it goes.
    buf.resize(text.size());  // the views below point into buf: no reallocation
    char* out = buf.data();
    size_t w = 0, start = std::string::npos;
    auto close = [&]() {
        if (start == std::string::npos) return;
        std::string_view t(out + start, w - start);
        if (stop && stop->contains(t)) w = start;
        else tokens.push_back(t);
        start = std::string::npos;
    };
    for (char ch : text) {
        unsigned c = static_cast<unsigned char>(ch);
        if (c - 'a' < 26u || c - '0' < 10u) {
            if (start == std::string::npos) start = w;
            out[w++] = static_cast<char>(c);
        } else if (c - 'A' < 26u) {
            close();
            start = w;
            out[w++] = static_cast<char>(c + ('a' - 'A'));
        } else {
            close();
        }
    }
    close();
    buf.resize(w);
}

// ------------------------------------------------------------ estimates

double estimate_tokens(size_t code_points, double chars_per_token) {
    if (code_points == 0) return 0.0;
    const double c = std::ceil(static_cast<double>(code_points) / chars_per_token);
    if (!std::isfinite(c)) return c;
    return c > 1.0 ? c : 1.0;
}

// ------------------------------------------------------------ compaction

void compact(std::string_view text, long long max_chars, std::string& out) {
    const size_t base = out.size();
    if (is_ascii(text)) {
        // One byte per character: collapse in place, cut by position.
        out.resize(base + text.size());
        char* o = out.data() + base;
        size_t w = 0;
        bool pending = false;
        for (char ch : text) {
            if (is_space(static_cast<unsigned char>(ch))) {
                pending = true;
                continue;
            }
            if (pending && w) o[w++] = ' ';
            pending = false;
            o[w++] = ch;
        }
        if (static_cast<long long>(w) > max_chars) {
            w = max_chars > 3 ? static_cast<size_t>(max_chars - 3) : 0;
            if (w && o[w - 1] == ' ') --w;
            out.resize(base + w);
            out += "...";
            return;
        }
        out.resize(base + w);
        return;
    }
    size_t count = 0;  // code points written
    bool pending_space = false;
    out.reserve(out.size() + text.size());
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80 && !is_space(c)) {
            // a run of ASCII that is not white space, copied in one go
            size_t j = i + 1;
            while (j < text.size() && static_cast<unsigned char>(text[j]) < 0x80 &&
                   !is_space(static_cast<unsigned char>(text[j])))
                ++j;
            if (pending_space && out.size() > base) {
                out.push_back(' ');
                ++count;
            }
            pending_space = false;
            out.append(text.data() + i, j - i);
            count += j - i;
            i = j;
            continue;
        }
        uint32_t cp;
        size_t len = utf8_next(text, i, cp);
        if (is_space(cp)) {
            pending_space = true;
        } else {
            if (pending_space && out.size() > base) {
                out.push_back(' ');
                ++count;
            }
            pending_space = false;
            out.append(text.data() + i, len);
            ++count;
        }
        i += len;
    }
    if (static_cast<long long>(count) <= max_chars) return;
    // text[:max(0, max_chars - 3)]: a limit below 4 keeps nothing of the text
    long long cut = max_chars > 3 ? max_chars - 3 : 0;
    size_t at = base;
    for (long long k = 0; k < cut; ++k) {
        uint32_t cp;
        at += utf8_next(out, at, cp);
    }
    out.resize(at);
    // after the collapse the only white space left is a single blank
    if (out.size() > base && out.back() == ' ') out.pop_back();
    out += "...";
}

std::string_view strip(std::string_view text) {
    size_t i = 0, begin = text.size(), end = 0;
    while (i < text.size()) {
        uint32_t cp;
        size_t len = utf8_next(text, i, cp);
        if (!is_space(cp)) {
            if (begin == text.size()) begin = i;
            end = i + len;
        }
        i += len;
    }
    return begin >= end ? std::string_view() : text.substr(begin, end - begin);
}

}  // namespace aw

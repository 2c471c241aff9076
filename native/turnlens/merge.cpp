// Merged follow-ups: the earlier question rewritten with the change a short
// follow-up asks for, instead of a template sentence.
//
// The follow-up is stripped of its lead-in ("what about", "how about", "and",
// trailing "instead" ...) and aligned with the earlier question word by word.
// Shared words anchor the change: what the follow-up says between two anchors
// replaces what the earlier question says there, and what it says after the
// last anchor replaces the phrase that follows it ("before 1997" against
// "before 1995 in the season"). Without anchors a word of a known kind
// (superlative, comparison, order, aggregate, a number) replaces the earlier
// word of the same kind; anything else is added. "remove X" and "get rid of
// X" drop X; "among them ..." narrows the earlier question; a follow-up that
// is a question of its own with a pronoun gets the earlier question's subject
// in place of the pronoun.
#include "turnlens/modes.hpp"

#include "core/text.hpp"
#include "core/unicode.hpp"

#include <algorithm>
#include <initializer_list>

namespace tl::modes {

namespace {

using aw::WordSet;

// ------------------------------------------------------------ vocabulary

const WordSet& wh() {
    static const WordSet s{"what", "which", "who", "whom", "whose", "when", "where", "why", "how",
                           "what's", "who's", "where's", "when's", "how's"};
    return s;
}
const WordSet& aux() {
    static const WordSet s{"is", "are", "was", "were", "be", "been", "being", "do", "does", "did", "has", "have",
                           "had", "can", "could", "will", "would", "should", "shall", "may", "might", "must"};
    return s;
}
const WordSet& articles() {
    static const WordSet s{"a", "an", "the"};
    return s;
}
const WordSet& conjunctions() {
    static const WordSet s{"and", "or", "but", "nor"};
    return s;
}
const WordSet& prepositions() {
    static const WordSet s{"of", "in", "on", "at", "for", "with", "by", "from", "to", "into", "onto", "during",
                           "after", "before", "since", "until", "than", "between", "among", "against", "without",
                           "within", "under", "over", "above", "below", "per", "about", "through", "via", "like"};
    return s;
}
const WordSet& pronouns() {
    static const WordSet s{"it", "its", "he", "him", "his", "she", "her", "hers", "they", "them", "their",
                           "theirs", "those", "these", "this", "that", "one", "ones"};
    return s;
}
// Pronouns that stand for the earlier question's subject, and possessives.
const WordSet& object_pronouns() {
    static const WordSet s{"it", "them", "those", "these", "they", "he", "him", "she"};
    return s;
}
const WordSet& possessives() {
    static const WordSet s{"his", "her", "its", "their"};
    return s;
}
const WordSet& verbs() {
    static const WordSet s{"show", "list", "give", "name", "find", "count", "sort", "order", "rank", "group",
                           "display", "tell", "get", "calculate", "compute", "sum", "return", "select", "provide",
                           "compare"};
    return s;
}
const WordSet& lead_words() {
    static const WordSet s{"and", "then", "also", "so", "now", "but", "ok", "okay", "please", "just", "instead",
                           "if", "well", "or"};
    return s;
}
const WordSet& trailing_words() {
    static const WordSet s{"instead", "then", "too", "again"};
    return s;
}
const WordSet& superlatives() {
    static const WordSet s{"largest", "highest", "lowest", "smallest", "most", "least", "maximum", "minimum", "max",
                           "min", "earliest", "latest", "biggest", "greatest", "oldest", "newest", "youngest",
                           "best", "worst", "fewest", "longest", "shortest"};
    return s;
}
const WordSet& comparisons() {
    static const WordSet s{"more", "less", "greater", "fewer", "higher", "lower", "larger", "smaller", "bigger",
                           "earlier", "later", "older", "younger", "over", "under", "above", "below", "before",
                           "after", "equal"};
    return s;
}
const WordSet& orders() {
    static const WordSet s{"ascending", "descending", "asc", "desc", "increasing", "decreasing"};
    return s;
}
const WordSet& aggregates() {
    static const WordSet s{"average", "total", "sum", "count", "mean", "median"};
    return s;
}

using Phrase = std::vector<std::string_view>;
using Phrases = std::vector<Phrase>;

Phrases phrases(std::initializer_list<const char*> texts) {
    Phrases out;
    for (const char* t : texts) {
        Phrase p;
        std::string_view s(t);
        size_t i = 0;
        while (i < s.size()) {
            size_t j = s.find(' ', i);
            if (j == std::string_view::npos) j = s.size();
            p.push_back(s.substr(i, j - i));
            i = j + 1;
        }
        out.push_back(std::move(p));
    }
    return out;
}

// Lead-ins, longest first (equal lengths keep this order).
const Phrases& lead_phrases() {
    static const Phrases p = [] {
        Phrases v = phrases({"what about", "how about", "what if", "how is it for", "how is it", "how is",
                             "how's it going", "what 's that for", "what's that for", "what is that for", "i mean",
                             "and what about", "then what about", "then how about", "what if it is",
                             "what if it's", "if it is", "tell me about", "make it", "make them", "change it to",
                             "change that to", "change to", "switch to", "switch it to", "convert it to",
                             "convert to", "turn it into"});
        std::stable_sort(v.begin(), v.end(), [](const Phrase& a, const Phrase& b) { return a.size() > b.size(); });
        return v;
    }();
    return p;
}
const Phrases& removal_phrases() {
    static const Phrases p = phrases({"get rid of", "remove", "delete", "drop", "exclude", "without", "ignore",
                                      "no longer", "take out", "leave out", "do not show", "don't show",
                                      "not show"});
    return p;
}
const Phrases& scope_phrases() {
    static const Phrases p = phrases({"among them", "among those", "of those", "of them", "in those", "in them",
                                      "from those", "from them", "for those", "for them", "within those",
                                      "within them", "among these", "of these", "in these"});
    return p;
}
const Phrases& additive_phrases() {
    static const Phrases p = phrases({"and also", "also", "add", "plus", "as well as", "in addition"});
    return p;
}

// ------------------------------------------------------------ pieces

enum Source : unsigned char { EARLIER, MESSAGE, MADE };

struct Tok {
    const Piece* p;
    Source src;
    const char* made = nullptr;  // MADE: the text
    std::string_view low() const { return made ? std::string_view(made) : std::string_view(p->low); }
    bool word() const { return made ? made[0] != ',' : p->word; }
};
using Seq = std::vector<Tok>;

bool in(const WordSet& s, const Tok& t) { return s.contains(t.low()); }

bool is_clause_word(const Tok& t) { return in(wh(), t) || in(aux(), t) || in(verbs(), t); }
bool is_pronoun_ref(const Tok& t) { return in(object_pronouns(), t) || in(possessives(), t); }

bool is_bound(const Tok& t) {
    if (!t.word()) {
        std::string_view l = t.low();
        return !(l.size() == 1 && std::string_view("'-/#%$&").find(l[0]) != std::string_view::npos);
    }
    return in(wh(), t) || in(aux(), t) || in(conjunctions(), t) || in(prepositions(), t) || t.low() == "that";
}

bool is_number(const Tok& t) {
    std::string_view l = t.low();
    if (l.empty()) return false;
    uint32_t cp;
    aw::utf8_next(l, 0, cp);
    return aw::is_decimal(cp);
}

bool year_like(const Tok& t) {
    std::string_view l = t.low();
    if (aw::count_code_points(l) != 4) return false;
    size_t i = 0;
    uint32_t cp[4];
    for (int k = 0; k < 4; ++k) i += aw::utf8_next(l, i, cp[k]);
    for (uint32_t c : cp)
        if (!aw::is_decimal(c)) return false;
    return (cp[0] == '1' && (cp[1] == '8' || cp[1] == '9')) || (cp[0] == '2' && cp[1] == '0');
}

bool starts_with(const Seq& s, size_t from, const Phrase& p) {
    if (s.size() - from < p.size()) return false;
    for (size_t k = 0; k < p.size(); ++k)
        if (s[from + k].low() != p[k]) return false;
    return true;
}

Seq without_refs(const Seq& s, size_t from, size_t to) {
    Seq out;
    for (size_t i = from; i < to; ++i)
        if (!is_pronoun_ref(s[i])) out.push_back(s[i]);
    return out;
}

size_t word_end(const Seq& s) {  // the end once trailing punctuation is left out
    size_t j = s.size();
    while (j > 0 && !s[j - 1].word()) --j;
    return j;
}

// ------------------------------------------------------------ the parts

// The follow-up without lead-in words and trailing punctuation.
Seq strip_lead_in(const Seq& m) {
    size_t i = 0, j = m.size();
    while (j > i && !m[j - 1].word()) --j;
    bool changed = true;
    while (changed) {
        changed = false;
        while (i < j && !m[i].word()) {
            ++i;
            changed = true;
        }
        bool led = false;
        for (const Phrase& p : lead_phrases()) {
            if (starts_with(m, i, p) && i + p.size() <= j) {
                i += p.size();
                changed = led = true;
                break;
            }
        }
        if (!led && i < j && in(lead_words(), m[i]) && j - i > 1) {
            ++i;
            changed = true;
        }
        while (j > i && (!m[j - 1].word() || in(trailing_words(), m[j - 1])) && j - i > 1) {
            --j;
            changed = true;
        }
        if (j > i && m[j - 1].low() == "well" && j - i > 2 && m[j - 2].low() == "as") {
            j -= 2;
            changed = true;
        }
    }
    return Seq(m.begin() + static_cast<std::ptrdiff_t>(i), m.begin() + static_cast<std::ptrdiff_t>(j));
}

// Drops the span of the earlier question that the words of x name; false
// when they name nothing there.
bool remove_named(const Seq& e, const Seq& x, Seq& out) {
    std::vector<std::string> xs;
    for (const Tok& t : x)
        if (t.word() && !in(articles(), t)) xs.push_back(fold(t.low()));
    if (xs.empty()) return false;
    size_t bi = 0, bj = 0, bk = 0;
    for (size_t i = 0; i < e.size(); ++i) {
        size_t k = 0, j = i;
        while (j < e.size() && k < xs.size()) {
            if (e[j].word() && fold(e[j].low()) == xs[k]) {
                ++k;
                ++j;
            } else if (in(articles(), e[j]) && j > i) {
                ++j;
            } else {
                break;
            }
        }
        if (k > bk) bi = i, bj = j, bk = k;
    }
    if (!bk) return false;
    size_t i = bi, j = bj;
    while (i > 0 && in(articles(), e[i - 1])) --i;
    auto joins = [&](const Tok& t) { return t.low() == "and" || t.low() == "or" || t.low() == ","; };
    if (i > 0 && joins(e[i - 1])) {
        --i;
        if (i > 0 && e[i - 1].low() == ",") --i;
    } else if (j < e.size() && joins(e[j])) {
        ++j;
    }
    Seq kept(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(i));
    kept.insert(kept.end(), e.begin() + static_cast<std::ptrdiff_t>(j), e.end());
    if (std::none_of(kept.begin(), kept.end(), [](const Tok& t) { return t.word(); })) return false;
    out = std::move(kept);
    return true;
}

size_t head_length(const Seq& s) {
    size_t i = 0;
    while (i < s.size() && (in(wh(), s[i]) || in(aux(), s[i]) || in(articles(), s[i]) || s[i].low() == "many" ||
                            s[i].low() == "much" || in(verbs(), s[i]) || s[i].low() == "all" || s[i].low() == "me"))
        ++i;
    return i;
}

const WordSet& measure_words() {  // kept when the column after them is replaced
    static const WordSet s{"average", "total", "sum", "number", "count", "maximum", "minimum", "max", "min",
                           "highest", "lowest", "largest", "smallest", "most", "least", "mean"};
    return s;
}

// The column the earlier question asks for: the words after its question
// words (and a measure word) up to the next boundary. Empty when none.
std::pair<size_t, size_t> target_of(const Seq& e) {
    size_t i = head_length(e);
    while (i < e.size() && in(measure_words(), e[i])) ++i;
    size_t j = i;
    while (j < e.size() && !is_bound(e[j]) && e[j].low() != "'s") ++j;
    return {i, j};
}

// What the earlier question is about: it without its question words.
Seq subject_of(const Seq& e) {
    size_t i = head_length(e), j = word_end(e);
    return j > i ? Seq(e.begin() + static_cast<std::ptrdiff_t>(i), e.begin() + static_cast<std::ptrdiff_t>(j)) : Seq();
}

int weight(const Tok& t) {
    if (in(articles(), t) || in(aux(), t) || in(wh(), t)) return 0;
    if (in(prepositions(), t) || in(conjunctions(), t) || in(pronouns(), t)) return 1;
    return 3;
}

// Anchors: the heaviest common subsequence of words; a word without weight
// anchors only together with the next one.
std::vector<std::pair<size_t, size_t>> align(const Seq& a, const Seq& b) {
    const size_t n = a.size(), m = b.size();
    std::vector<int> d((n + 1) * (m + 1), 0);
    auto at = [&](size_t i, size_t j) -> int& { return d[i * (m + 1) + j]; };
    auto gain = [&](size_t i, size_t j) -> int {
        if (!a[i].word() || a[i].low() != b[j].low()) return 0;
        int w = weight(a[i]);
        if (w == 0 && !(i + 1 < n && j + 1 < m && a[i + 1].low() == b[j + 1].low())) return 0;
        return w > 1 ? w : 1;
    };
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;) {
            int best = std::max(at(i + 1, j), at(i, j + 1));
            int g = gain(i, j);
            if (g) best = std::max(best, at(i + 1, j + 1) + g);
            at(i, j) = best;
        }
    std::vector<std::pair<size_t, size_t>> pairs;
    size_t i = 0, j = 0;
    while (i < n && j < m) {
        int g = gain(i, j);
        if (g && at(i, j) == at(i + 1, j + 1) + g) {
            pairs.emplace_back(i, j);
            ++i;
            ++j;
        } else if (at(i + 1, j) >= at(i, j + 1)) {
            ++i;
        } else {
            ++j;
        }
    }
    return pairs;
}

size_t phrase_after(const Seq& e, size_t k) {
    size_t j = k;
    while (j < e.size() && (j == k || !is_bound(e[j]))) ++j;
    return j;
}

size_t phrase_before(const Seq& e, size_t k) {
    size_t j = k;
    while (j > 0 && !is_bound(e[j - 1])) --j;
    return j;
}

void append(Seq& out, const Seq& s, size_t from, size_t to) {
    out.insert(out.end(), s.begin() + static_cast<std::ptrdiff_t>(from), s.begin() + static_cast<std::ptrdiff_t>(to));
}

Seq patch(const Seq& core, const Seq& e, const std::vector<std::pair<size_t, size_t>>& pairs) {
    Seq out;
    auto [m0, e0] = pairs.front();
    Seq head = without_refs(core, 0, m0);
    bool bare = std::all_of(head.begin(), head.end(), [](const Tok& t) {
        return is_clause_word(t) || in(articles(), t) || t.low() == "many" || t.low() == "much";
    });
    if (bare) {  // question words alone add nothing to the earlier ones
        append(out, e, 0, e0);
    } else if (is_clause_word(head.front())) {
        // the follow-up's own question words take the place of the earlier ones
        size_t k = 0;
        while (k < e0 && (is_clause_word(e[k]) || in(articles(), e[k]) || e[k].low() == "many" || e[k].low() == "much"))
            ++k;
        if (k > 0) {
            append(out, head, 0, head.size());
            append(out, e, k, e0);
        } else {
            append(out, e, 0, e0);
        }
    } else {
        size_t h = phrase_before(e, e0);
        // "for away" before "of games": one preposition takes the other's place
        if (h > 0 && in(prepositions(), head.front()) && in(prepositions(), e[h - 1])) --h;
        append(out, e, 0, h);
        append(out, head, 0, head.size());
    }
    for (size_t p = 0; p + 1 < pairs.size(); ++p) {
        auto [ma, ea] = pairs[p];
        auto [mb, eb] = pairs[p + 1];
        out.push_back(e[ea]);
        Seq gap = without_refs(core, ma + 1, mb);
        if (gap.empty()) append(out, e, ea + 1, eb);
        else append(out, gap, 0, gap.size());
    }
    auto [ml, el] = pairs.back();
    out.push_back(e[el]);
    Seq tail = without_refs(core, ml + 1, core.size());
    if (tail.empty()) {
        append(out, e, el + 1, e.size());
    } else {
        size_t t = phrase_after(e, el + 1);
        append(out, tail, 0, tail.size());
        append(out, e, t, e.size());
    }
    return out;
}

// A follow-up word of a known kind takes the place of the earlier word of
// that kind: "greatest" for "smallest", "descending" for "ascending", a
// number for a number of the same shape.
void substitute_kinds(const Seq& core, Seq& e) {
    WordSet earlier, mentioned;
    for (const Tok& t : e) earlier.add(t.low());
    for (const Tok& t : core) mentioned.add(t.low());
    std::vector<bool> used(e.size(), false);
    const WordSet* kinds[] = {&superlatives(), &comparisons(), &orders(), &aggregates()};
    for (const Tok& t : core) {
        if (earlier.contains(t.low())) continue;
        const WordSet* kind = nullptr;
        for (const WordSet* k : kinds)
            if (k->contains(t.low())) {
                kind = k;
                break;
            }
        if (kind) {
            for (size_t i = 0; i < e.size(); ++i)
                if (!used[i] && kind->contains(e[i].low()) && !mentioned.contains(e[i].low())) {
                    e[i] = t;
                    used[i] = true;
                    break;
                }
        } else if (is_number(t)) {
            for (size_t i = e.size(); i-- > 0;)
                if (!used[i] && is_number(e[i]) && !mentioned.contains(e[i].low()) && year_like(e[i]) == year_like(t)) {
                    e[i] = t;
                    used[i] = true;
                    break;
                }
        }
    }
}

// ------------------------------------------------------------ rendering

struct Texts {
    std::string_view earlier, message;
    std::string_view of(const Tok& t) const {
        if (t.made) return t.made;
        std::string_view s = t.src == EARLIER ? earlier : message;
        return s.substr(t.p->begin, t.p->end - t.p->begin);
    }
};

bool all_space(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        uint32_t cp;
        i += aw::utf8_next(s, i, cp);
        if (!aw::is_space(cp)) return false;
    }
    return true;
}

// Neighbours from the same text keep the spacing they had there.
std::string render(const Seq& seq, const Texts& tx) {
    std::string out;
    const Tok* prev = nullptr;
    for (const Tok& t : seq) {
        if (prev) {
            bool same = !prev->made && !t.made && prev->src == t.src && prev->p->end <= t.p->begin;
            std::string_view src = t.src == EARLIER ? tx.earlier : tx.message;
            if (same && all_space(src.substr(prev->p->end, t.p->begin - prev->p->end)))
                out.append(src.substr(prev->p->end, t.p->begin - prev->p->end));
            else if (!(t.made && !t.word()))
                out.push_back(' ');
        }
        out.append(tx.of(t));
        prev = &t;
    }
    return out;
}

constexpr size_t kMaxEarlier = 400, kMaxMessage = 80;  // pieces; the alignment is quadratic

}  // namespace

// ------------------------------------------------------------ pieces

void split_pieces(std::string_view text, bool join_values, std::vector<Piece>& out) {
    auto word_cp = [](uint32_t cp) { return cp == '_' || cp == '\'' || aw::is_alnum(cp); };
    auto joiner = [](uint32_t cp) {
        return cp == '-' || cp == 0x2013 || cp == '.' || cp == '/' || cp == ',' || cp == ':' || cp == '&';
    };
    size_t i = 0;
    while (i < text.size()) {
        uint32_t cp;
        size_t len = aw::utf8_next(text, i, cp);
        if (aw::is_space(cp)) {
            i += len;
            continue;
        }
        Piece p;
        p.begin = i;
        if (!word_cp(cp)) {
            p.end = i + len;
        } else {
            p.word = true;
            size_t j = i;
            while (true) {
                while (j < text.size()) {
                    uint32_t c;
                    size_t l = aw::utf8_next(text, j, c);
                    if (!word_cp(c)) break;
                    j += l;
                }
                if (!join_values || j >= text.size()) break;
                uint32_t c;
                size_t l = aw::utf8_next(text, j, c);
                if (!joiner(c) || j + l >= text.size()) break;
                uint32_t next;
                aw::utf8_next(text, j + l, next);
                if (!word_cp(next)) break;
                j += l;
            }
            p.end = j;
        }
        aw::lower_append(text.substr(p.begin, p.end - p.begin), p.low);
        i = p.end;
        out.push_back(std::move(p));
    }
}

std::string fold(std::string_view w) {
    auto ends = [&](std::string_view s) { return w.size() >= s.size() && w.substr(w.size() - s.size()) == s; };
    if (w.size() > 3 && ends("ies")) return std::string(w.substr(0, w.size() - 3)) + "y";
    if (w.size() > 3 && ends("es") && std::string_view("sxz").find(w[w.size() - 3]) != std::string_view::npos)
        return std::string(w.substr(0, w.size() - 2));
    if (w.size() > 2 && ends("s") && !ends("ss")) return std::string(w.substr(0, w.size() - 1));
    return std::string(w);
}

bool merge_followup(std::string_view earlier, std::string_view message, std::string& out) {
    std::vector<Piece> ep, mp;
    split_pieces(earlier, true, ep);
    if (ep.size() > kMaxEarlier) return false;
    split_pieces(message, true, mp);
    if (mp.size() > kMaxMessage) return false;
    Seq e, m;
    for (const Piece& p : ep) e.push_back({&p, EARLIER});
    for (const Piece& p : mp) m.push_back({&p, MESSAGE});
    const Texts tx{earlier, message};
    static const char* const kOf = "of";
    static const char* const kAnd = "and";
    static const char* const kComma = ",";

    Seq core = strip_lead_in(m);
    if (core.empty()) {
        out.assign(earlier);
        return true;
    }
    const size_t e_end = word_end(e);
    // "his position", "their ranks": another column of the same subject
    if (in(possessives(), core.front()) && core.size() > 1 &&
        std::none_of(core.begin() + 1, core.end(), [](const Tok& t) { return is_bound(t); })) {
        Seq column(core.begin() + 1, core.end());
        auto [ti, tj] = target_of(e);
        if (tj > ti && align(column, e).empty()) {
            Seq seq;
            append(seq, e, 0, ti);
            append(seq, column, 0, column.size());
            append(seq, e, tj, e.size());
            out = render(seq, tx);
            return true;
        }
    }
    // "also show silver medals": one more column or condition
    for (const Phrase& p : additive_phrases()) {
        bool lead = starts_with(core, 0, p);
        if (!lead && !starts_with(m, 0, p)) continue;
        size_t r = lead ? p.size() : 0;
        while (r < core.size() && (in(verbs(), core[r]) || core[r].low() == "me")) ++r;
        Seq rest = without_refs(core, r, core.size());
        if (rest.empty()) continue;
        Seq seq(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(e_end));
        seq.push_back({nullptr, MADE, kAnd});
        append(seq, rest, 0, rest.size());
        append(seq, e, e_end, e.size());
        out = render(seq, tx);
        return true;
    }
    for (const Phrase& p : removal_phrases()) {
        if (starts_with(core, 0, p) && core.size() > p.size()) {
            Seq rest(core.begin() + static_cast<std::ptrdiff_t>(p.size()), core.end()), kept;
            if (remove_named(e, rest, kept)) out = render(kept, tx);
            else out.assign(earlier);
            return true;
        }
    }
    for (const Phrase& p : scope_phrases()) {
        if (!starts_with(core, 0, p)) continue;
        size_t r = p.size();
        while (r < core.size() && !core[r].word()) ++r;
        if (r == core.size()) {
            out.assign(earlier);
            return true;
        }
        Seq seq(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(e_end));
        seq.push_back({nullptr, MADE, kComma});
        append(seq, core, r, core.size());
        out = render(seq, tx);
        return true;
    }
    // A question of its own that points back with a pronoun.
    if (is_clause_word(core.front())) {
        for (size_t i = 0; i < core.size(); ++i) {
            if (!is_pronoun_ref(core[i])) continue;
            Seq subject = subject_of(e), seq;
            append(seq, core, 0, i);
            if (in(possessives(), core[i])) {
                size_t j = i + 1;
                while (j < core.size() && !is_bound(core[j])) ++j;
                append(seq, core, i + 1, j);  // "his position" -> "position of <subject>"
                seq.push_back({nullptr, MADE, kOf});
                append(seq, subject, 0, subject.size());
                append(seq, core, j, core.size());
            } else {
                append(seq, subject, 0, subject.size());
                append(seq, core, i + 1, core.size());
            }
            out = render(seq, tx);
            return true;
        }
    }
    substitute_kinds(core, e);
    auto pairs = align(core, e);
    if (!pairs.empty()) {
        out = render(patch(core, e, pairs), tx);
        return true;
    }
    bool numbers_only = std::all_of(core.begin(), core.end(), [](const Tok& t) { return is_number(t); });
    if (numbers_only) {
        for (size_t i = e.size(); i-- > 0;) {
            if (!is_number(e[i])) continue;
            Seq seq;
            append(seq, e, 0, i);
            append(seq, core, 0, core.size());
            append(seq, e, i + 1, e.size());
            out = render(seq, tx);
            return true;
        }
    }
    Seq added = without_refs(core, 0, core.size());
    if (added.empty()) added = core;
    Seq seq;
    append(seq, e, 0, e_end);
    append(seq, added, 0, added.size());
    append(seq, e, e_end, e.size());
    out = render(seq, tx);
    return true;
}

}  // namespace tl::modes

#include "core/regex.hpp"

#include "core/unicode.hpp"

#include <algorithm>
#include <utility>

namespace aw::rx {
namespace {
using aw::re_cased;
using aw::re_lower;

// ------------------------------------------------------------ character data

// Non-ASCII code points with another lowercase form, for first-byte sets.
const std::vector<uint32_t>& lower_sources() {
    static const std::vector<uint32_t>* v = [] {
        auto* out = new std::vector<uint32_t>();  // kept for the process
        aw::re_lower_sources(*out);
        return out;
    }();
    return *v;
}

inline bool is_word(uint32_t c) {
    if (c < 0x80) return c == '_' || (c | 0x20) - 'a' < 26 || c - '0' < 10;
    return is_alnum(c);
}

enum Cat : uint8_t {
    CAT_DIGIT = 1, CAT_NOT_DIGIT = 2, CAT_SPACE = 4, CAT_NOT_SPACE = 8, CAT_WORD = 16, CAT_NOT_WORD = 32,
};

bool cat_match(uint8_t cats, uint32_t c) {
    if ((cats & CAT_DIGIT) && is_decimal(c)) return true;
    if ((cats & CAT_NOT_DIGIT) && !is_decimal(c)) return true;
    if ((cats & CAT_SPACE) && is_space(c)) return true;
    if ((cats & CAT_NOT_SPACE) && !is_space(c)) return true;
    if ((cats & CAT_WORD) && is_word(c)) return true;
    if ((cats & CAT_NOT_WORD) && !is_word(c)) return true;
    return false;
}

inline bool bit(const uint64_t (&b)[2], uint32_t c) { return (b[c >> 6] >> (c & 63)) & 1; }
inline void set_bit(uint64_t (&b)[2], uint32_t c) { b[c >> 6] |= uint64_t(1) << (c & 63); }

inline uint32_t lead_byte(uint32_t cp) {
    if (cp < 0x80) return cp;
    if (cp < 0x800) return 0xC0 | (cp >> 6);
    if (cp < 0x10000) return 0xE0 | (cp >> 12);
    return 0xF0 | (cp >> 18);
}

inline size_t prev_start(std::string_view s, size_t i) {
    do { --i; } while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80);
    return i;
}

inline size_t decode(std::string_view s, size_t i, uint32_t& cp) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) { cp = b; return 1; }
    return utf8_next(s, i, cp);
}

// ------------------------------------------------------------ program

// One character test, with the host's IGNORECASE rules: when the set holds
// a cased character, the input character is lowercased before the test and
// the set holds lowercase forms plus their extra equivalents; otherwise the
// input is tested as it is.
struct CharClass {
    bool negate = false;
    bool icase = false;
    uint8_t cats = 0;
    uint64_t ascii_in[2] = {0, 0};     // (lowered) ASCII members, before negation
    uint64_t ascii_final[2] = {0, 0};  // the whole test for ASCII input
    std::vector<std::pair<uint32_t, uint32_t>> ranges;  // non-ASCII members, before negation

    bool in_ranges(uint32_t c) const {
        size_t lo = 0, hi = ranges.size();
        while (lo < hi) {
            size_t mid = (lo + hi) / 2;
            if (ranges[mid].second < c) lo = mid + 1;
            else hi = mid;
        }
        return lo < ranges.size() && ranges[lo].first <= c;
    }
    bool matches(uint32_t ch) const {
        if (ch < 0x80) return bit(ascii_final, ch);
        uint32_t c = icase ? re_lower(ch) : ch;
        bool in = c < 0x80 ? bit(ascii_in, c) : (in_ranges(c) || (cats && cat_match(cats, c)));
        return in != negate;
    }
};

enum Op : uint8_t { CLASS, ANY, ANY_ALL, SPLIT, JMP, SAVE, ASSERT, LOOK, MATCH };

enum AssertKind : uint8_t {
    AT_BEGIN, AT_BEGIN_LINE, AT_END, AT_END_LINE, AT_START_TEXT, AT_END_TEXT, AT_WORD_B, AT_NOT_WORD_B,
};

struct Inst {
    Op op;
    uint8_t kind;  // ASSERT
    int32_t x;     // CLASS: class; SPLIT/JMP: preferred target; SAVE: slot; LOOK: look
    int32_t y;     // SPLIT: other target
};

struct LookItem {
    enum Kind : uint8_t { Class, Any, AnyAll, Assert } kind;
    int32_t arg;
};

struct Look {
    bool behind = false, negate = false;
    int width = 0;
    std::vector<LookItem> items;
};

}  // namespace

struct Program {
    std::vector<Inst> insts;
    std::vector<CharClass> classes;
    std::vector<Look> looks;
    int groups = 0;
    int nslots = 2;
    bool use_first = false;  // every match starts with a byte marked in first
    bool first[256] = {};
    // Every match starts with one of these class sequences (empty: unknown).
    std::vector<std::vector<int32_t>> prefixes;
    // Every match contains one of these class sequences (empty: unknown).
    std::vector<std::vector<int32_t>> required;
    bool required_first[256] = {};
};

namespace {

// ------------------------------------------------------------ parser

struct Node {
    enum Kind : uint8_t { Empty, Char, Any, Cat, Alt, Rep, Group, Assert, Look } kind = Empty;
    int32_t arg = -1;  // Char: class; Group: capture index or -1; Assert: kind; Look: look
    bool dotall = false;
    int32_t min = 0, max = 0;  // Rep; max -1 = unbounded
    bool greedy = true;
    std::vector<Node> kids;
};

constexpr int kMaxDepth = 200;
constexpr size_t kMaxInsts = 200000;
constexpr int32_t kMaxRepeat = 100000;

class Parser {
public:
    Parser(std::string_view pattern, Program& prog, std::string& error) : prog_(prog), error_(error) {
        for (size_t i = 0; i < pattern.size();) {
            uint32_t cp;
            i += decode(pattern, i, cp);
            p_.push_back(cp);
        }
    }

    bool parse(int flags, Node& out) {
        flags = leading_flags(flags);
        if (!ok_) return false;
        out = alternation(flags, 0);
        if (ok_ && i_ < p_.size()) fail(p_[i_] == ')' ? "unbalanced parenthesis" : "unexpected character");
        return ok_;
    }

private:
    Program& prog_;
    std::string& error_;
    std::vector<uint32_t> p_;
    size_t i_ = 0;
    bool ok_ = true;

    void fail(const char* msg) {
        if (ok_) error_ = msg;
        ok_ = false;
    }
    bool more() const { return i_ < p_.size(); }
    uint32_t peek(size_t k = 0) const { return i_ + k < p_.size() ? p_[i_ + k] : 0; }
    bool eat(uint32_t c) {
        if (more() && p_[i_] == c) { ++i_; return true; }
        return false;
    }

    static int flag_of(uint32_t c) {
        switch (c) {
            case 'i': return IGNORECASE;
            case 'm': return MULTILINE;
            case 's': return DOTALL;
            case 'u': return UNICODE;
            default: return -1;
        }
    }

    // (?ims) groups at the very start set flags for the whole pattern.
    int leading_flags(int flags) {
        for (;;) {
            if (!(peek() == '(' && peek(1) == '?')) return flags;
            size_t j = i_ + 2;
            int add = 0;
            while (j < p_.size() && flag_of(p_[j]) >= 0) add |= flag_of(p_[j++]);
            if (j == i_ + 2 || j >= p_.size() || p_[j] != ')') return flags;
            flags |= add;
            i_ = j + 1;
        }
    }

    Node alternation(int flags, int depth) {
        if (depth > kMaxDepth) {
            fail("pattern nested too deeply");
            return Node();
        }
        Node first = concatenation(flags, depth);
        if (!ok_ || !(more() && peek() == '|')) return first;
        Node alt;
        alt.kind = Node::Alt;
        alt.kids.push_back(std::move(first));
        while (ok_ && eat('|')) alt.kids.push_back(concatenation(flags, depth));
        return alt;
    }

    Node concatenation(int flags, int depth) {
        Node cat;
        cat.kind = Node::Cat;
        while (ok_ && more() && peek() != '|' && peek() != ')') {
            Node atom_node = atom(flags, depth);
            if (!ok_) break;
            quantifiers(atom_node);
            cat.kids.push_back(std::move(atom_node));
        }
        if (cat.kids.size() == 1) return std::move(cat.kids[0]);
        return cat;
    }

    // Reads {m}, {m,}, {,n} or {m,n} at i_ (which holds '{'); false when
    // the text is not a repeat (then '{' is an ordinary character).
    bool brace_repeat(int32_t& lo, int32_t& hi) {
        size_t j = i_ + 1;
        auto number = [&](int64_t& v) {
            size_t start = j;
            v = 0;
            while (j < p_.size() && p_[j] >= '0' && p_[j] <= '9') {
                if (v <= kMaxRepeat) v = v * 10 + (p_[j] - '0');
                ++j;
            }
            return j > start;
        };
        int64_t a = 0, b = -1;
        bool has_a = number(a);
        bool comma = j < p_.size() && p_[j] == ',';
        if (comma) {
            ++j;
            int64_t v;
            if (number(v)) b = v;
        } else {
            if (!has_a) return false;
            b = a;
        }
        if (j >= p_.size() || p_[j] != '}') return false;
        if (a > kMaxRepeat || b > kMaxRepeat) {
            fail("repeat count too large for this engine");
            return false;
        }
        if (b >= 0 && b < a) {
            fail("min repeat greater than max repeat");
            return false;
        }
        lo = static_cast<int32_t>(a);
        hi = static_cast<int32_t>(b);
        i_ = j + 1;
        return true;
    }

    bool at_quantifier() {
        if (!more()) return false;
        uint32_t c = peek();
        if (c == '*' || c == '+' || c == '?') return true;
        if (c != '{') return false;
        size_t save = i_;
        int32_t lo, hi;
        bool r = brace_repeat(lo, hi);
        i_ = save;
        return r || !ok_;
    }

    void quantifiers(Node& node) {
        if (!at_quantifier()) return;
        if (!ok_) return;
        if (node.kind == Node::Assert || node.kind == Node::Empty) {
            fail("nothing to repeat");
            return;
        }
        int32_t lo = 0, hi = -1;
        uint32_t c = peek();
        if (c == '*') { ++i_; lo = 0; hi = -1; }
        else if (c == '+') { ++i_; lo = 1; hi = -1; }
        else if (c == '?') { ++i_; lo = 0; hi = 1; }
        else if (!brace_repeat(lo, hi)) return;
        bool greedy = true;
        if (eat('?')) greedy = false;
        else if (more() && peek() == '+') {
            fail("possessive repeats are not supported");
            return;
        }
        if (at_quantifier()) {
            fail("multiple repeat");
            return;
        }
        // The host stops repeating after an empty pass once the minimum is
        // met; such loops are refused rather than run with other rules.
        if ((hi < 0 || (hi > 1 && hi != lo)) && nullable(node)) {
            fail("repeated expression that can match the empty text is not supported");
            return;
        }
        Node rep;
        rep.kind = Node::Rep;
        rep.min = lo;
        rep.max = hi;
        rep.greedy = greedy;
        rep.kids.push_back(std::move(node));
        node = std::move(rep);
    }

    static bool nullable(const Node& n) {
        switch (n.kind) {
            case Node::Empty: case Node::Assert: case Node::Look: return true;
            case Node::Char: case Node::Any: return false;
            case Node::Cat:
                for (const Node& k : n.kids)
                    if (!nullable(k)) return false;
                return true;
            case Node::Alt:
                for (const Node& k : n.kids)
                    if (nullable(k)) return true;
                return false;
            case Node::Group: return nullable(n.kids[0]);
            case Node::Rep: return n.min == 0 || nullable(n.kids[0]);
        }
        return true;
    }

    // ---- character classes

    struct SetBuilder {
        std::vector<std::pair<uint32_t, uint32_t>> items;
        uint8_t cats = 0;
        bool negate = false;
    };

    Node char_node(SetBuilder& b, int flags) {
        Node n;
        n.kind = Node::Char;
        n.arg = finish_class(b, flags);
        return n;
    }

    int32_t finish_class(SetBuilder& b, int flags) {
        CharClass cls;
        cls.negate = b.negate;
        cls.cats = b.cats;
        std::vector<std::pair<uint32_t, uint32_t>> members;
        bool icase = false;
        if (flags & IGNORECASE) {
            for (auto& r : b.items) {
                if (r.second > 0xFFFF) {
                    fail("characters beyond the BMP in a case-insensitive set are not supported");
                    return -1;
                }
                for (uint32_t c = r.first; c <= r.second && !icase; ++c) icase = re_cased(c);
            }
        }
        if (icase) {
            for (auto& r : b.items)
                for (uint32_t c = r.first; c <= r.second; ++c) {
                    uint32_t lo = re_lower(c);
                    members.emplace_back(lo, lo);
                    if (const uint32_t* ex = aw::re_extra_cases(lo))
                        for (int k = 0; k < 2 && ex[k]; ++k) members.emplace_back(ex[k], ex[k]);
                }
        } else {
            members = b.items;
        }
        cls.icase = icase;
        std::sort(members.begin(), members.end());
        for (auto& r : members) {
            for (uint32_t c = r.first; c <= r.second && c < 0x80; ++c) set_bit(cls.ascii_in, c);
            if (r.second < 0x80) continue;
            uint32_t from = std::max<uint32_t>(r.first, 0x80);
            if (!cls.ranges.empty() && from <= cls.ranges.back().second + 1)
                cls.ranges.back().second = std::max(cls.ranges.back().second, r.second);
            else
                cls.ranges.emplace_back(from, r.second);
        }
        for (uint32_t c = 0; c < 0x80; ++c)
            if (cls.cats && cat_match(cls.cats, c)) set_bit(cls.ascii_in, c);
        for (uint32_t ch = 0; ch < 0x80; ++ch) {
            uint32_t c = icase ? re_lower(ch) : ch;
            if (bit(cls.ascii_in, c) != cls.negate) set_bit(cls.ascii_final, ch);
        }
        prog_.classes.push_back(std::move(cls));
        return static_cast<int32_t>(prog_.classes.size() - 1);
    }

    // A single literal character as a class.
    Node literal(uint32_t c, int flags) {
        SetBuilder b;
        b.items.emplace_back(c, c);
        if ((flags & IGNORECASE) && !re_cased(c)) flags &= ~IGNORECASE;
        return char_node(b, flags);
    }

    Node category(uint8_t cat, int flags) {
        SetBuilder b;
        b.cats = cat;
        return char_node(b, flags);
    }

    static uint8_t category_of(uint32_t c) {
        switch (c) {
            case 'd': return CAT_DIGIT;
            case 'D': return CAT_NOT_DIGIT;
            case 's': return CAT_SPACE;
            case 'S': return CAT_NOT_SPACE;
            case 'w': return CAT_WORD;
            case 'W': return CAT_NOT_WORD;
            default: return 0;
        }
    }

    bool hex_digits(int count, uint32_t& value) {
        value = 0;
        for (int k = 0; k < count; ++k) {
            uint32_t c = peek();
            uint32_t d;
            if (c >= '0' && c <= '9') d = c - '0';
            else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') d = (c | 0x20) - 'a' + 10;
            else {
                fail("incomplete escape");
                return false;
            }
            value = value * 16 + d;
            ++i_;
        }
        if (value > 0x10FFFF) {
            fail("bad escape");
            return false;
        }
        return true;
    }

    // Reads the escape after a backslash that stands for one character;
    // false (with an error) when it is not such an escape.
    bool char_escape(uint32_t c, uint32_t& out, bool in_class) {
        switch (c) {
            case 'n': out = '\n'; return true;
            case 't': out = '\t'; return true;
            case 'r': out = '\r'; return true;
            case 'f': out = '\f'; return true;
            case 'v': out = '\v'; return true;
            case 'a': out = '\a'; return true;
            case 'b':
                if (in_class) { out = '\b'; return true; }
                break;
            case 'x': return hex_digits(2, out);
            case 'u': return hex_digits(4, out);
            case 'U': return hex_digits(8, out);
            case '0': {
                out = 0;
                for (int k = 0; k < 2 && peek() >= '0' && peek() <= '7'; ++k) out = out * 8 + (p_[i_++] - '0');
                return true;
            }
            default:
                if (c < 0x80 && ((c | 0x20) - 'a' < 26 || c - '0' < 10)) break;
                out = c;
                return true;
        }
        fail(c - '1' < 9 ? "group references are not supported" : "bad escape");
        return false;
    }

    Node char_set(int flags) {
        SetBuilder b;
        if (eat('^')) b.negate = true;
        bool first = true;
        for (;;) {
            if (!more()) {
                fail("unterminated character set");
                return Node();
            }
            uint32_t c = p_[i_];
            if (c == ']' && !first) {
                ++i_;
                break;
            }
            first = false;
            ++i_;
            uint32_t lo;
            bool is_char = true;
            if (c == '\\') {
                if (!more()) {
                    fail("bad escape (end of pattern)");
                    return Node();
                }
                uint32_t e = p_[i_++];
                if (uint8_t cat = category_of(e)) {
                    b.cats |= cat;
                    is_char = false;
                } else if (!char_escape(e, lo, true)) {
                    return Node();
                }
            } else {
                lo = c;
            }
            if (more() && peek() == '-' && peek(1) != ']' && i_ + 1 < p_.size()) {
                if (!is_char) {
                    fail("bad character range");
                    return Node();
                }
                ++i_;  // '-'
                uint32_t hc = p_[i_++];
                uint32_t hi = hc;
                if (hc == '\\') {
                    if (!more()) {
                        fail("bad escape (end of pattern)");
                        return Node();
                    }
                    uint32_t e = p_[i_++];
                    if (category_of(e) || !char_escape(e, hi, true)) {
                        fail("bad character range");
                        return Node();
                    }
                }
                if (hi < lo) {
                    fail("bad character range");
                    return Node();
                }
                b.items.emplace_back(lo, hi);
            } else if (is_char) {
                b.items.emplace_back(lo, lo);
            }
        }
        return char_node(b, flags);
    }

    // ---- atoms

    Node assertion(uint8_t kind) {
        Node n;
        n.kind = Node::Assert;
        n.arg = kind;
        return n;
    }

    Node atom(int flags, int depth) {
        uint32_t c = p_[i_++];
        switch (c) {
            case '(': return group(flags, depth);
            case '[': return char_set(flags);
            case '.': {
                Node n;
                n.kind = Node::Any;
                n.dotall = (flags & DOTALL) != 0;
                return n;
            }
            case '^': return assertion((flags & MULTILINE) ? AT_BEGIN_LINE : AT_BEGIN);
            case '$': return assertion((flags & MULTILINE) ? AT_END_LINE : AT_END);
            case '*': case '+': case '?':
                fail("nothing to repeat");
                return Node();
            case '{': {
                --i_;
                if (at_quantifier()) {
                    fail("nothing to repeat");
                    return Node();
                }
                ++i_;
                return literal('{', flags);
            }
            case '\\': {
                if (!more()) {
                    fail("bad escape (end of pattern)");
                    return Node();
                }
                uint32_t e = p_[i_++];
                switch (e) {
                    case 'A': return assertion(AT_START_TEXT);
                    case 'Z': return assertion(AT_END_TEXT);
                    case 'b': return assertion(AT_WORD_B);
                    case 'B': return assertion(AT_NOT_WORD_B);
                    default: break;
                }
                if (uint8_t cat = category_of(e)) return category(cat, flags);
                uint32_t v;
                if (!char_escape(e, v, false)) return Node();
                return literal(v, flags);
            }
            default: return literal(c, flags);
        }
    }

    Node group(int flags, int depth) {
        Node n;
        if (!eat('?')) {
            n.kind = Node::Group;
            n.arg = ++prog_.groups;
            n.kids.push_back(alternation(flags, depth + 1));
            close();
            return n;
        }
        uint32_t c = more() ? p_[i_++] : 0;
        if (c == ':') return noncapturing(flags, depth);
        if (c == 'P' && eat('<')) {
            while (more() && peek() != '>') ++i_;
            if (!eat('>')) {
                fail("missing >, unterminated name");
                return n;
            }
            n.kind = Node::Group;
            n.arg = ++prog_.groups;
            n.kids.push_back(alternation(flags, depth + 1));
            close();
            return n;
        }
        if (c == '#') {
            while (more() && peek() != ')') ++i_;
            if (!eat(')')) fail("missing ), unterminated comment");
            return n;
        }
        if (c == '=' || c == '!') return lookaround(false, c == '!', flags, depth);
        if (c == '<' && (peek() == '=' || peek() == '!')) {
            bool neg = p_[i_++] == '!';
            return lookaround(true, neg, flags, depth);
        }
        // scoped flags (?i:...) / (?-i:...)
        --i_;
        int add = 0, del = 0;
        bool minus = false;
        while (more() && (flag_of(peek()) >= 0 || peek() == '-')) {
            if (peek() == '-') minus = true;
            else (minus ? del : add) |= flag_of(peek());
            ++i_;
        }
        if ((add || del) && eat(':')) return noncapturing((flags | add) & ~del, depth);
        fail(add && peek() == ')' ? "global flags not at the start of the expression"
                                  : "unsupported group syntax");
        return n;
    }

    Node noncapturing(int flags, int depth) {
        Node n;
        n.kind = Node::Group;
        n.arg = -1;
        n.kids.push_back(alternation(flags, depth + 1));
        close();
        return n;
    }

    void close() {
        if (ok_ && !eat(')')) fail("missing ), unterminated subpattern");
    }

    // Lookaround bodies must be a fixed sequence of single characters and
    // assertions, so that they can be checked in place.
    bool flatten_look(const Node& n, Look& lk) {
        switch (n.kind) {
            case Node::Empty: return true;
            case Node::Char: lk.items.push_back({LookItem::Class, n.arg}); ++lk.width; return true;
            case Node::Any:
                lk.items.push_back({n.dotall ? LookItem::AnyAll : LookItem::Any, 0});
                ++lk.width;
                return true;
            case Node::Assert: lk.items.push_back({LookItem::Assert, n.arg}); return true;
            case Node::Cat:
                for (const Node& k : n.kids)
                    if (!flatten_look(k, lk)) return false;
                return true;
            case Node::Group: return n.arg < 0 && flatten_look(n.kids[0], lk);
            case Node::Rep:
                if (n.min != n.max || n.kids[0].kind != Node::Char) return false;
                for (int k = 0; k < n.min; ++k) {
                    lk.items.push_back({LookItem::Class, n.kids[0].arg});
                    ++lk.width;
                }
                return true;
            default: return false;
        }
    }

    Node lookaround(bool behind, bool negate, int flags, int depth) {
        Node body = alternation(flags, depth + 1);
        close();
        Node n;
        if (!ok_) return n;
        Look lk;
        lk.behind = behind;
        lk.negate = negate;
        if (!flatten_look(body, lk)) {
            fail("only fixed sequences of single characters are supported inside lookaround");
            return n;
        }
        prog_.looks.push_back(std::move(lk));
        n.kind = Node::Look;
        n.arg = static_cast<int32_t>(prog_.looks.size() - 1);
        return n;
    }
};

// ------------------------------------------------------------ compiler

class Compiler {
public:
    Compiler(Program& prog, std::string& error) : prog_(prog), error_(error) {}

    bool compile(const Node& root) {
        emit({SAVE, 0, 0, 0});
        node(root);
        emit({SAVE, 0, 1, 0});
        emit({MATCH, 0, 0, 0});
        if (prog_.insts.size() > kMaxInsts) {
            error_ = "pattern too large for this engine";
            return false;
        }
        return true;
    }

private:
    Program& prog_;
    std::string& error_;

    int32_t here() const { return static_cast<int32_t>(prog_.insts.size()); }
    int32_t emit(Inst in) {
        prog_.insts.push_back(in);
        return here() - 1;
    }

    void node(const Node& n) {
        if (prog_.insts.size() > kMaxInsts) return;
        switch (n.kind) {
            case Node::Empty: break;
            case Node::Char: emit({CLASS, 0, n.arg, 0}); break;
            case Node::Any: emit({n.dotall ? ANY_ALL : ANY, 0, 0, 0}); break;
            case Node::Assert: emit({ASSERT, static_cast<uint8_t>(n.arg), 0, 0}); break;
            case Node::Look: emit({LOOK, 0, n.arg, 0}); break;
            case Node::Cat:
                for (const Node& k : n.kids) node(k);
                break;
            case Node::Group:
                if (n.arg > 0) emit({SAVE, 0, 2 * n.arg, 0});
                node(n.kids[0]);
                if (n.arg > 0) emit({SAVE, 0, 2 * n.arg + 1, 0});
                break;
            case Node::Alt: {
                std::vector<int32_t> exits;
                for (size_t k = 0; k + 1 < n.kids.size(); ++k) {
                    int32_t split = emit({SPLIT, 0, 0, 0});
                    prog_.insts[split].x = here();
                    node(n.kids[k]);
                    exits.push_back(emit({JMP, 0, 0, 0}));
                    prog_.insts[split].y = here();
                }
                node(n.kids.back());
                for (int32_t e : exits) prog_.insts[e].x = here();
                break;
            }
            case Node::Rep: {
                const Node& body = n.kids[0];
                for (int32_t k = 0; k < n.min && prog_.insts.size() <= kMaxInsts; ++k) node(body);
                if (n.max < 0) {
                    int32_t split = emit({SPLIT, 0, 0, 0});
                    int32_t start = here();
                    node(body);
                    emit({JMP, 0, split, 0});
                    set_split(split, start, here(), n.greedy);
                } else {
                    std::vector<int32_t> splits;
                    for (int32_t k = n.min; k < n.max && prog_.insts.size() <= kMaxInsts; ++k) {
                        splits.push_back(emit({SPLIT, 0, 0, 0}));
                        node(body);
                    }
                    for (int32_t s : splits) set_split(s, s + 1, here(), n.greedy);
                }
                break;
            }
        }
    }

    void set_split(int32_t at, int32_t body, int32_t out, bool greedy) {
        prog_.insts[at].x = greedy ? body : out;
        prog_.insts[at].y = greedy ? out : body;
    }
};

// Marks the first bytes a match can start with; a pattern that can match
// the empty text gets no filter.
void analyse_first(Program& prog) {
    std::vector<char> seen(prog.insts.size(), 0);
    std::vector<int32_t> stack{0};
    bool first[256] = {};
    while (!stack.empty()) {
        int32_t pc = stack.back();
        stack.pop_back();
        if (seen[pc]) continue;
        seen[pc] = 1;
        const Inst& in = prog.insts[pc];
        switch (in.op) {
            case JMP: stack.push_back(in.x); break;
            case SPLIT: stack.push_back(in.x); stack.push_back(in.y); break;
            case SAVE: case ASSERT: case LOOK: stack.push_back(pc + 1); break;
            case MATCH: return;  // can match empty: no filter
            case ANY: case ANY_ALL:
                for (int b = 0; b < 256; ++b)
                    if ((b < 0x80 || b >= 0xC0) && !(in.op == ANY && b == '\n')) first[b] = true;
                break;
            case CLASS: {
                const CharClass& cls = prog.classes[in.x];
                for (uint32_t b = 0; b < 0x80; ++b)
                    if (bit(cls.ascii_final, b)) first[b] = true;
                if (cls.negate || cls.cats) {
                    for (int b = 0xC0; b < 256; ++b) first[b] = true;
                    break;
                }
                for (auto& r : cls.ranges)
                    for (uint32_t b = lead_byte(r.first); b <= lead_byte(r.second); ++b) first[b] = true;
                if (cls.icase) {
                    for (uint32_t c : lower_sources())
                        if (cls.matches(c)) first[lead_byte(c)] = true;
                }
                break;
            }
        }
    }
    prog.use_first = true;
    std::copy(first, first + 256, prog.first);
}

// ------------------------------------------------------------ literal analysis

using Seq = std::vector<int32_t>;
constexpr size_t kMaxSeqs = 24;
constexpr size_t kMaxSeqLen = 16;

struct Prefixes {
    std::vector<Seq> seqs;
    bool complete = true;  // the sequences cover the whole node
    bool top = false;      // nothing known
};

Prefixes prefixes_of(const Node& n) {
    Prefixes p;
    switch (n.kind) {
        case Node::Empty: case Node::Assert: case Node::Look:  // zero width: a looser filter is still sound
            p.seqs = {Seq{}};
            return p;
        case Node::Char: p.seqs = {Seq{n.arg}}; return p;
        case Node::Any: p.top = true; return p;
        case Node::Group: return prefixes_of(n.kids[0]);
        case Node::Cat: {
            p.seqs = {Seq{}};
            for (const Node& k : n.kids) {
                Prefixes q = prefixes_of(k);
                if (q.top) {
                    p.complete = false;
                    break;
                }
                std::vector<Seq> next;
                bool too_long = false;
                for (const Seq& a : p.seqs)
                    for (const Seq& b : q.seqs) {
                        Seq s = a;
                        s.insert(s.end(), b.begin(), b.end());
                        too_long |= s.size() >= kMaxSeqLen;
                        next.push_back(std::move(s));
                    }
                if (next.size() > kMaxSeqs) {
                    p.complete = false;
                    break;
                }
                p.seqs = std::move(next);
                if (!q.complete || too_long) {
                    p.complete = false;
                    break;
                }
            }
            return p;
        }
        case Node::Alt:
            for (const Node& k : n.kids) {
                Prefixes q = prefixes_of(k);
                if (q.top || p.seqs.size() + q.seqs.size() > kMaxSeqs) {
                    p.top = true;
                    return p;
                }
                p.complete &= q.complete;
                p.seqs.insert(p.seqs.end(), q.seqs.begin(), q.seqs.end());
            }
            return p;
        case Node::Rep: {
            if (n.min == 0) {
                p.seqs = {Seq{}};
                p.complete = false;
                return p;
            }
            Prefixes q = prefixes_of(n.kids[0]);
            q.complete = q.complete && n.min == 1 && n.max == 1;
            return q;
        }
    }
    p.top = true;
    return p;
}

size_t shortest(const std::vector<Seq>& seqs) {
    size_t m = SIZE_MAX;
    for (const Seq& s : seqs) m = std::min(m, s.size());
    return seqs.empty() ? 0 : m;
}

// Sequences one of which every match of n contains; empty when unknown.
std::vector<Seq> required_of(const Node& n) {
    switch (n.kind) {
        case Node::Char: return {Seq{n.arg}};
        case Node::Group: return required_of(n.kids[0]);
        case Node::Rep: return n.min > 0 ? required_of(n.kids[0]) : std::vector<Seq>{};
        case Node::Alt: {
            std::vector<Seq> all;
            for (const Node& k : n.kids) {
                std::vector<Seq> r = required_of(k);
                if (r.empty() || all.size() + r.size() > kMaxSeqs) return {};
                all.insert(all.end(), r.begin(), r.end());
            }
            return all;
        }
        case Node::Cat: {
            std::vector<Seq> best;
            auto consider = [&](std::vector<Seq> r) {
                if (!r.empty() && (best.empty() || shortest(r) > shortest(best))) best = std::move(r);
            };
            Seq run;
            for (const Node& k : n.kids) {
                if (k.kind == Node::Char && run.size() < kMaxSeqLen) {
                    run.push_back(k.arg);
                    continue;
                }
                if (!run.empty()) consider({run});
                run.clear();
                if (k.kind == Node::Char) run.push_back(k.arg);
                else if (k.kind != Node::Assert && k.kind != Node::Look && k.kind != Node::Empty) {
                    consider(required_of(k));
                    continue;
                }
            }
            if (!run.empty()) consider({run});
            return best;
        }
        default: return {};
    }
}

void first_bytes_of(const Program& prog, const std::vector<Seq>& seqs, bool (&out)[256]) {
    for (const Seq& s : seqs) {
        const CharClass& cls = prog.classes[s[0]];
        for (uint32_t b = 0; b < 0x80; ++b)
            if (bit(cls.ascii_final, b)) out[b] = true;
        if (cls.negate || cls.cats) {
            for (int b = 0xC0; b < 256; ++b) out[b] = true;
            continue;
        }
        for (auto& r : cls.ranges)
            for (uint32_t b = lead_byte(r.first); b <= lead_byte(r.second); ++b) out[b] = true;
        if (cls.icase) {
            for (uint32_t c : lower_sources())
                if (cls.matches(c)) out[lead_byte(c)] = true;
        }
    }
}

void analyse_literals(Program& prog, const Node& root) {
    Prefixes p = prefixes_of(root);
    if (!p.top && !p.seqs.empty() && shortest(p.seqs) > 0) {
        std::sort(p.seqs.begin(), p.seqs.end());
        p.seqs.erase(std::unique(p.seqs.begin(), p.seqs.end()), p.seqs.end());
        prog.prefixes = std::move(p.seqs);
    }
    std::vector<Seq> req = required_of(root);
    // A required single character that is also the whole prefix adds nothing.
    if (!req.empty() && shortest(req) > 0 && !(shortest(req) == 1 && !prog.prefixes.empty())) {
        prog.required = std::move(req);
        first_bytes_of(prog, prog.required, prog.required_first);
    }
}

// ------------------------------------------------------------ matcher

// Threads waiting at one position, in priority order. Only threads that
// wait for a character (or match) are listed; `seen` marks every
// instruction already reached at this position.
struct ThreadList {
    std::vector<uint32_t> seen;
    uint32_t gen = 1;
    std::vector<uint32_t> pcs;
    uint32_t n = 0;
    std::vector<ptrdiff_t> caps;

    void reserve(size_t ninst, size_t nslots) {
        if (seen.size() < ninst) {
            seen.assign(ninst, 0);
            gen = 1;
            pcs.assign(ninst, 0);
        }
        if (caps.size() < ninst * nslots) caps.resize(ninst * nslots);
    }
    void clear() {
        n = 0;
        if (++gen == 0) {
            std::fill(seen.begin(), seen.end(), 0);
            gen = 1;
        }
    }
    bool visit(uint32_t pc) {
        if (seen[pc] == gen) return false;
        seen[pc] = gen;
        return true;
    }
    uint32_t push(uint32_t pc) {
        pcs[n] = pc;
        return n++;
    }
};

struct Frame {
    int32_t pc;  // -1: restore slot to val
    int32_t slot;
    ptrdiff_t val;
};

struct Scratch {
    ThreadList a, b;
    std::vector<Frame> stack;
    std::vector<Frame> frames;  // add(): one frame per instruction at most
    std::vector<ptrdiff_t> work, seed;
    std::vector<uint64_t> visited;
};

// Texts for which (instructions x positions) stays below this many bits are
// searched depth-first with a visited set instead of with thread lists.
constexpr size_t kBacktrackBits = 256 * 1024;

class Vm {
public:
    Vm(const Program& prog, std::string_view text, Scratch& s) : prog_(prog), text_(text), s_(s) {
        size_t ninst = prog.insts.size();
        size_t ns = static_cast<size_t>(prog.nslots);
        s.a.reserve(ninst, ns);
        s.b.reserve(ninst, ns);
        s.work.resize(ns);
        s.seed.assign(ns, -1);
        if (s.frames.size() < ninst + 1) s.frames.resize(ninst + 1);
    }

    // True when one of seqs (or none, when seqs is empty) matches at pos.
    bool seq_at(const std::vector<Seq>& seqs, size_t pos) const {
        if (seqs.empty()) return true;
        const size_t n = text_.size();
        for (const Seq& s : seqs) {
            size_t q = pos;
            bool ok = true;
            for (int32_t c : s) {
                uint32_t ch;
                if (q >= n) { ok = false; break; }
                q += decode(text_, q, ch);
                if (!prog_.classes[c].matches(ch)) { ok = false; break; }
            }
            if (ok) return true;
        }
        return false;
    }

    // False when no required sequence occurs at or after from.
    bool required_present(size_t from) const {
        if (prog_.required.empty()) return true;
        const size_t n = text_.size();
        for (size_t q = from; q < n; ++q)
            if (prog_.required_first[static_cast<unsigned char>(text_[q])] && seq_at(prog_.required, q)) return true;
        return false;
    }

    bool search(size_t from, Match& m, bool must_advance, bool backtracking) {
        if (!required_present(from)) return false;
        if (backtracking && prog_.insts.size() * (text_.size() - from + 1) <= kBacktrackBits)
            return backtrack(from, m, must_advance);
        return pike(from, m, must_advance);
    }

    // Depth-first search in priority order that never visits an
    // (instruction, position) pair twice: the first match found is the
    // leftmost-first one, and the work stays linear in the text.
    bool backtrack(size_t from, Match& m, bool must_advance) {
        const size_t n = text_.size();
        const size_t width = n - from + 1;
        const size_t ns = static_cast<size_t>(prog_.nslots);
        std::vector<uint64_t>& visited = s_.visited;
        visited.assign((prog_.insts.size() * width + 63) / 64, 0);
        std::vector<ptrdiff_t>& caps = s_.work;
        std::vector<Frame>& stack = s_.stack;
        for (size_t start = from;;) {
            if (prog_.use_first) {
                while (start < n && !(prog_.first[static_cast<unsigned char>(text_[start])] &&
                                      seq_at(prog_.prefixes, start)))
                    ++start;  // continuation bytes are never marked
                if (start >= n) return false;
            }
            std::fill(caps.begin(), caps.end(), -1);
            stack.clear();
            stack.push_back({0, 0, static_cast<ptrdiff_t>(start)});
            while (!stack.empty()) {
                Frame f = stack.back();
                stack.pop_back();
                if (f.pc < 0) {
                    caps[f.slot] = f.val;
                    continue;
                }
                uint32_t pc = static_cast<uint32_t>(f.pc);
                size_t pos = static_cast<size_t>(f.val);
                for (bool alive = true; alive;) {
                    size_t bitno = pc * width + (pos - from);
                    uint64_t bitmask = uint64_t(1) << (bitno & 63);
                    if (visited[bitno >> 6] & bitmask) break;
                    visited[bitno >> 6] |= bitmask;
                    const Inst& in = prog_.insts[pc];
                    switch (in.op) {
                        case CLASS: case ANY: case ANY_ALL: {
                            uint32_t ch;
                            if (pos >= n) { alive = false; break; }
                            size_t len = decode(text_, pos, ch);
                            if (in.op == CLASS ? !prog_.classes[in.x].matches(ch) : (in.op == ANY && ch == '\n')) {
                                alive = false;
                                break;
                            }
                            pos += len;
                            ++pc;
                            break;
                        }
                        case SPLIT:
                            stack.push_back({in.y, 0, static_cast<ptrdiff_t>(pos)});
                            pc = in.x;
                            break;
                        case JMP: pc = in.x; break;
                        case SAVE:
                            stack.push_back({-1, in.x, caps[in.x]});
                            caps[in.x] = static_cast<ptrdiff_t>(pos);
                            ++pc;
                            break;
                        case ASSERT:
                            if (assert_at(in.kind, pos)) ++pc;
                            else alive = false;
                            break;
                        case LOOK:
                            if (look_at(prog_.looks[in.x], pos)) ++pc;
                            else alive = false;
                            break;
                        case MATCH:
                            if (must_advance && pos == from) {
                                alive = false;
                                break;
                            }
                            m.caps.assign(caps.begin(), caps.begin() + ns);
                            return true;
                    }
                }
            }
            if (start >= n) return false;
            uint32_t skip;
            start += decode(text_, start, skip);
        }
    }

    bool pike(size_t from, Match& m, bool must_advance) {
        const size_t n = text_.size();
        const size_t ns = static_cast<size_t>(prog_.nslots);
        ThreadList* clist = &s_.a;
        ThreadList* nlist = &s_.b;
        clist->clear();
        nlist->clear();
        bool matched = false;
        size_t pos = from;
        for (;;) {
            if (!matched) {
                if (clist->n == 0 && prog_.use_first) {
                    // nothing alive: jump to the next position a match can start at
                    size_t next = pos;
                    for (;; ++next) {
                        while (next < n && !prog_.first[static_cast<unsigned char>(text_[next])]) ++next;
                        if (next >= n || seq_at(prog_.prefixes, next)) break;
                    }
                    if (next >= n) break;
                    if (next != pos) clist->clear();  // its marks belong to the old position
                    pos = next;
                    add(*clist, 0, pos, s_.seed.data());
                } else if (seq_at(prog_.prefixes, pos)) {
                    add(*clist, 0, pos, s_.seed.data());
                }
            }
            if (clist->n == 0) {
                if (matched || pos >= n) break;
                uint32_t skip;
                pos += decode(text_, pos, skip);  // nothing alive here: try the next start
                clist->clear();
                continue;
            }
            uint32_t ch = 0;
            size_t len = 0;
            if (pos < n) len = decode(text_, pos, ch);
            for (uint32_t i = 0; i < clist->n; ++i) {
                const Inst& in = prog_.insts[clist->pcs[i]];
                const ptrdiff_t* caps = &clist->caps[i * ns];
                bool step = false;
                switch (in.op) {
                    case CLASS: step = len && prog_.classes[in.x].matches(ch); break;
                    case ANY: step = len && ch != '\n'; break;
                    case ANY_ALL: step = len != 0; break;
                    case MATCH:
                        if (must_advance && pos == from) break;
                        matched = true;
                        m.caps.assign(caps, caps + ns);
                        i = clist->n;  // lower-priority threads lose
                        break;
                    default: break;
                }
                if (step) add(*nlist, clist->pcs[i] + 1, pos + len, caps);
            }
            std::swap(clist, nlist);
            nlist->clear();
            if (pos >= n) {
                if (clist->n == 0) break;
                continue;  // only MATCH threads can remain
            }
            pos += len;
        }
        return matched;
    }

private:
    const Program& prog_;
    std::string_view text_;
    Scratch& s_;

    bool assert_at(uint8_t kind, size_t pos) const {
        const size_t n = text_.size();
        switch (kind) {
            case AT_BEGIN: case AT_START_TEXT: return pos == 0;
            case AT_BEGIN_LINE: return pos == 0 || text_[pos - 1] == '\n';
            case AT_END: return pos == n || (pos + 1 == n && text_[pos] == '\n');
            case AT_END_LINE: return pos == n || text_[pos] == '\n';
            case AT_END_TEXT: return pos == n;
            case AT_WORD_B: case AT_NOT_WORD_B: {
                if (n == 0) return false;
                uint32_t c;
                bool before = false, after = false;
                if (pos > 0) {
                    decode(text_, prev_start(text_, pos), c);
                    before = is_word(c);
                }
                if (pos < n) {
                    decode(text_, pos, c);
                    after = is_word(c);
                }
                return kind == AT_WORD_B ? before != after : before == after;
            }
        }
        return false;
    }

    bool look_at(const Look& lk, size_t pos) const {
        size_t q = pos;
        bool ok = true;
        if (lk.behind)
            for (int k = 0; k < lk.width && ok; ++k) {
                if (q == 0) ok = false;
                else q = prev_start(text_, q);
            }
        for (size_t k = 0; ok && k < lk.items.size(); ++k) {
            const LookItem& it = lk.items[k];
            if (it.kind == LookItem::Assert) {
                ok = assert_at(static_cast<uint8_t>(it.arg), q);
                continue;
            }
            if (q >= text_.size()) {
                ok = false;
                break;
            }
            uint32_t c;
            q += decode(text_, q, c);
            if (it.kind == LookItem::Class) ok = prog_.classes[it.arg].matches(c);
            else if (it.kind == LookItem::Any) ok = c != '\n';
        }
        return ok != lk.negate;
    }

    // Follows the empty transitions from pc at pos in priority order and
    // adds every thread that waits for a character (or matches) to list.
    void add(ThreadList& list, uint32_t pc0, size_t pos, const ptrdiff_t* caps_in) {
        const size_t ns = static_cast<size_t>(prog_.nslots);
        ptrdiff_t* work = s_.work.data();
        for (size_t k = 0; k < ns; ++k) work[k] = caps_in[k];
        // Every instruction is entered at most once per position and pushes
        // at most one frame, so the frame buffer cannot overflow.
        Frame* stack = s_.frames.data();
        size_t top = 0;
        stack[top++] = {static_cast<int32_t>(pc0), 0, 0};
        while (top) {
            Frame f = stack[--top];
            if (f.pc < 0) {
                work[f.slot] = f.val;
                continue;
            }
            uint32_t pc = static_cast<uint32_t>(f.pc);
            for (;;) {
                if (!list.visit(pc)) break;
                const Inst& in = prog_.insts[pc];
                bool stop = false;
                switch (in.op) {
                    case JMP: pc = in.x; break;
                    case SPLIT:
                        stack[top++] = {in.y, 0, 0};
                        pc = in.x;
                        break;
                    case SAVE:
                        stack[top++] = {-1, in.x, work[in.x]};
                        work[in.x] = static_cast<ptrdiff_t>(pos);
                        ++pc;
                        break;
                    case ASSERT:
                        if (assert_at(in.kind, pos)) ++pc;
                        else stop = true;
                        break;
                    case LOOK:
                        if (look_at(prog_.looks[in.x], pos)) ++pc;
                        else stop = true;
                        break;
                    default: {
                        uint32_t idx = list.push(pc);
                        ptrdiff_t* dst = &list.caps[idx * ns];
                        for (size_t k = 0; k < ns; ++k) dst[k] = work[k];
                        stop = true;
                        break;
                    }
                }
                if (stop) break;
            }
        }
    }
};

Scratch& scratch() {
    static thread_local Scratch s;
    return s;
}

}  // namespace

bool Regex::compile(std::string_view pattern, int flags, std::string* error) {
    prog_.reset();
    error_.clear();
    if (flags & ~(IGNORECASE | MULTILINE | DOTALL | UNICODE)) {
        error_ = "unsupported flags";
    } else {
        auto prog = std::make_shared<Program>();
        Node root;
        Parser parser(pattern, *prog, error_);
        if (parser.parse(flags, root)) {
            prog->nslots = 2 * (prog->groups + 1);
            Compiler compiler(*prog, error_);
            if (compiler.compile(root)) {
                analyse_first(*prog);
                analyse_literals(*prog, root);
                prog_ = std::move(prog);
            }
        }
    }
    if (!prog_ && error) *error = error_;
    return prog_ != nullptr;
}

int Regex::groups() const { return prog_ ? prog_->groups : 0; }

bool Regex::search(std::string_view text, size_t from, Match& m, bool must_advance) const {
    if (!prog_ || from > text.size()) return false;
    Vm vm(*prog_, text, scratch());
    return vm.search(from, m, must_advance, backtracking_);
}

void Regex::sub_append(std::string_view text, std::string_view repl, std::string& out, size_t count) const {
    size_t last = 0, pos = 0, done = 0;
    bool must_advance = false;
    Match m;
    while ((count == 0 || done < count) && pos <= text.size() && search(text, pos, m, must_advance)) {
        size_t s = static_cast<size_t>(m.start()), e = static_cast<size_t>(m.end());
        out.append(text.data() + last, s - last);
        out.append(repl);
        last = e;
        must_advance = e == s;
        pos = e;
        ++done;
    }
    out.append(text.data() + last, text.size() - last);
}

}  // namespace aw::rx

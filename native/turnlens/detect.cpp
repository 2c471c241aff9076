// Reference and signal detection: what a new message points at and asks for.
#include "turnlens/turnlens.hpp"

#include "common/pytext.hpp"
#include "core/unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tl {
using aw::Ref;

const std::string& MessageText::lowered() {
    if (!has_lower_) {
        aw::lower_append(tv_.view, lower_);
        has_lower_ = true;
    }
    return lower_;
}

namespace {

}  // namespace

const std::vector<std::string_view>& MessageText::tokens() {
    if (!has_tokens_) {
        aw::tokenize(tv_.view, nullptr, buf_, tokens_);
        has_tokens_ = true;
    }
    return tokens_;
}

size_t MessageText::content_token_count() {
    size_t n = 0;
    for (std::string_view t : tokens())
        if (!vocab().stopwords.contains(t)) ++n;
    return n;
}

namespace {

struct ArtifactPatterns {
    aw::rx::Regex word{R"(\b(chart|table|card|widget|result)\s*#?\s*(\w+)\b)", 0};
    aw::rx::Regex id{R"(\b(\w+_\d+)\b)", 0};
};
const ArtifactPatterns& artifact_patterns() {
    static const ArtifactPatterns* p = new ArtifactPatterns();  // kept for the process
    return *p;
}

bool contains_any(std::string_view text, const std::vector<std::string>& phrases) {
    for (const std::string& p : phrases)
        if (text.find(p) != std::string_view::npos) return true;
    return false;
}

// ref.lower() with every "#" deleted.
std::string normalized_ref(std::string_view text) {
    std::string low, out;
    aw::lower_append(text, low);
    out.reserve(low.size());
    for (char c : low)
        if (c != '#') out.push_back(c);
    return out;
}

}  // namespace

bool has_decimal_digit(std::string_view text) {
    bool ascii = true;
    for (unsigned char c : text) {
        if (c >= '0' && c <= '9') return true;
        ascii = ascii && c < 0x80;
    }
    if (ascii) return false;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        i += aw::utf8_next(text, i, cp);
        if (cp >= 0x80 && aw::is_decimal(cp)) return true;
    }
    return false;
}

bool turn_ref_possible(std::string_view q) {
    if (!has_decimal_digit(q)) return false;
    for (std::string_view w : {"#", "turn", "question", "query", "answer", "result", "chart", "table", "card",
                               "widget", "\xc5\xbf" /* long s */, "\xc4\xb1" /* dotless i */})
        if (q.find(w) != std::string_view::npos) return true;
    return false;
}

PyObject* detect_explicit_turn_reference(MessageText& m) {
    const std::string& q = m.lowered();
    const Patterns& p = patterns();
    aw::rx::Match match;
    if (turn_ref_possible(q) && p.turn_ref.search(q, match))
        for (int g = 1; g <= 3; ++g)
            if (match.has(g) && match.end(g) > match.start(g)) return digits_to_int(match.group(q, g));
    const auto& words = vocab().ordinal_words;
    for (size_t i = 0; i < words.size(); ++i)
        if (q.find(words[i].first) != std::string::npos && p.ordinal[i].contains_match(q))
            return PyLong_FromLong(words[i].second);
    Py_RETURN_NONE;
}

PyObject* detect_artifact_reference(MessageText& m) {
    const std::string& q = m.lowered();
    const ArtifactPatterns& p = artifact_patterns();
    aw::rx::Match match;
    bool word = false;
    for (std::string_view w : {"chart", "table", "card", "widget", "result"})
        word = word || q.find(w) != std::string::npos;
    if (word && p.word.search(q, match)) {
        std::string out(match.group(q, 1));
        out.push_back('_');
        out.append(match.group(q, 2));
        return aw::new_str(out);
    }
    if (q.find('_') != std::string::npos && has_decimal_digit(q) && p.id.search(q, match)) return aw::new_str(match.group(q, 1));
    Py_RETURN_NONE;
}

namespace {

// Compares one identity of a card with the normalized reference.
int identity_matches(PyObject* identity, const std::string& wanted) {
    int t = PyObject_IsTrue(identity);
    if (t <= 0) return t;
    std::string text;
    if (!plain_text_append(text, identity)) return -1;
    return normalized_ref(text) == wanted;
}

int artifact_matches_normalized(const std::string& wanted, PyObject* card) {
    Ref artifact_id(card_field(card, CARD_ARTIFACT_ID));
    Ref label(artifact_id ? card_field(card, CARD_ARTIFACT_LABEL) : nullptr);
    Ref kind(label ? card_field(card, CARD_ARTIFACT_TYPE) : nullptr);
    Ref turn(kind ? card_field(card, CARD_TURN_ID) : nullptr);
    if (!turn) return -1;
    std::string turn_text, kind_turn;
    if (!plain_text_append(turn_text, turn.get()) || !plain_text_append(kind_turn, kind.get())) return -1;
    kind_turn += "_" + turn_text;
    for (PyObject* v : {artifact_id.get(), label.get()}) {
        int r = identity_matches(v, wanted);
        if (r) return r;
    }
    // both built identities are non-empty texts
    if (normalized_ref(kind_turn) == wanted) return 1;
    return normalized_ref("turn_" + turn_text) == wanted;
}

}  // namespace

int artifact_matches(PyObject* ref, PyObject* card) {
    if (!require_str(ref, "_artifact_matches", "ref")) return -1;
    TextView tv(ref);
    return artifact_matches_normalized(normalized_ref(tv.view), card);
}

bool is_suggestion_request(MessageText& m) { return contains_any(m.lowered(), vocab().suggestion_phrases); }

bool has_followup_signal(MessageText& m) {
    for (std::string_view t : m.tokens())
        if (vocab().followup_terms.contains(t)) return true;
    return contains_any(m.lowered(), vocab().clarification_risk_phrases);
}

bool has_pronoun_followup(MessageText& m) {
    bool other = false, time_word = false;
    for (std::string_view t : m.tokens()) {
        if (t == "last" || t == "previous") time_word = true;
        else if (t == "it" || t == "this" || t == "that" || t == "same" || t == "one") other = true;
    }
    if (other) return true;
    if (!time_word) return false;
    // "last 6 months" is a time window, not a back-reference
    return !patterns().backref_numeric.contains_match(m.lowered());
}

int has_modify_signal(MessageText& m, PyObject* delta) {
    for (std::string_view t : m.tokens())
        if (vocab().modify_terms.contains(t)) return 1;
    Ref op(field(delta, IntentDeltaType, DELTA_OPERATION, "operation"));
    if (!op) return -1;
    if (PyUnicode_CheckExact(op.get())) return PyUnicode_CompareWithASCIIString(op.get(), "none") != 0;
    Ref ne(PyObject_RichCompare(op.get(), KEY("none"), Py_NE));
    return ne ? PyObject_IsTrue(ne.get()) : -1;
}

int pronoun_followup(PyObject* lens, MessageText& m, PyObject* question) {
    int own = own_stage(lens, STAGE_HAS_PRONOUN_FOLLOWUP);
    if (own < 0) return -1;
    return own ? has_pronoun_followup(m) : stage_truth(lens, STAGE_HAS_PRONOUN_FOLLOWUP, {question});
}

PyObject* has_ambiguous_reference(PyObject* lens, MessageText& m, PyObject* question) {
    if (contains_any(m.lowered(), vocab().clarification_risk_phrases)) Py_RETURN_TRUE;
    int own = own_stage(lens, STAGE_HAS_PRONOUN_FOLLOWUP);
    if (own < 0) return nullptr;
    // a replacement's answer is passed on as it is
    return own ? PyBool_FromLong(has_pronoun_followup(m)) : call_stage(lens, STAGE_HAS_PRONOUN_FOLLOWUP, {question});
}

int looks_like_complete_question(PyObject* lens, PyObject* config, MessageText& m, PyObject* question) {
    size_t count = m.content_token_count();
    Ref min_tokens(config_field(config, CFG_FRESH_QUESTION_MIN_TOKENS));
    if (!min_tokens) return -1;
    int enough;
    if (PyLong_CheckExact(min_tokens.get())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(min_tokens.get(), &overflow);
        enough = overflow ? overflow < 0 : static_cast<long long>(count) >= v;
    } else {
        Ref n(PyLong_FromSize_t(count));
        enough = n ? PyObject_RichCompareBool(n.get(), min_tokens.get(), Py_GE) : -1;
        if (enough < 0) return -1;
    }
    if (enough) {
        int pronoun = pronoun_followup(lens, m, question);
        if (pronoun <= 0) return pronoun < 0 ? -1 : 1;
    }
    const std::string& q = m.lowered();
    for (std::string_view prefix : {"show ", "list ", "count ", "summarize ", "compare ", "find "})
        if (q.compare(0, prefix.size(), prefix) == 0) return 1;
    return 0;
}

namespace {

// ------------------------------------------------------------ TurnLens methods


// The single "question" argument of a detector, checked to be text.
PyObject* question_arg(PyObject* args, PyObject* kwargs, const char* fmt, const char* fn) {
    static const char* kw[] = {"question", nullptr};
    PyObject* q;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, fmt, const_cast<char**>(kw), &q)) return nullptr;
    return require_str(q, fn, "question") ? q : nullptr;
}

PyObject* py_bool(int r) { return r < 0 ? nullptr : PyBool_FromLong(r); }

PyObject* py_explicit(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* q = question_arg(args, kwargs, "O:_detect_explicit_turn_reference", "_detect_explicit_turn_reference");
    if (!q) return nullptr;
    MessageText m(q);
    return detect_explicit_turn_reference(m);
}

PyObject* py_artifact(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* q = question_arg(args, kwargs, "O:_detect_artifact_reference", "_detect_artifact_reference");
    if (!q) return nullptr;
    MessageText m(q);
    return detect_artifact_reference(m);
}

PyObject* py_artifact_matches(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"ref", "card", nullptr};
    PyObject *ref, *card;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_artifact_matches", const_cast<char**>(kw), &ref, &card))
        return nullptr;
    return py_bool(artifact_matches(ref, card));
}

template <bool (*F)(MessageText&)>
PyObject* py_flag(PyObject* args, PyObject* kwargs, const char* fmt, const char* fn) {
    PyObject* q = question_arg(args, kwargs, fmt, fn);
    if (!q) return nullptr;
    MessageText m(q);
    return PyBool_FromLong(F(m));
}

PyObject* py_suggestion(PyObject*, PyObject* a, PyObject* k) {
    return py_flag<is_suggestion_request>(a, k, "O:_is_suggestion_request", "_is_suggestion_request");
}
PyObject* py_followup(PyObject*, PyObject* a, PyObject* k) {
    return py_flag<has_followup_signal>(a, k, "O:_has_followup_signal", "_has_followup_signal");
}
PyObject* py_pronoun(PyObject*, PyObject* a, PyObject* k) {
    return py_flag<has_pronoun_followup>(a, k, "O:_has_pronoun_followup", "_has_pronoun_followup");
}
PyObject* py_ambiguous(PyObject* self, PyObject* a, PyObject* k) {
    PyObject* q = question_arg(a, k, "O:_has_ambiguous_reference", "_has_ambiguous_reference");
    if (!q) return nullptr;
    MessageText m(q);
    return has_ambiguous_reference(self, m, q);
}

PyObject* py_modify(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"question", "delta", nullptr};
    PyObject *q, *delta;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_has_modify_signal", const_cast<char**>(kw), &q, &delta))
        return nullptr;
    // Never lowercased, so any value is read through its plain text.
    Ref text(q == Py_None ? aw::new_str("") : plain_text(q));
    if (!text) return nullptr;
    MessageText m(text.get());
    return py_bool(has_modify_signal(m, delta));
}

PyObject* py_complete(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* q = question_arg(args, kwargs, "O:_looks_like_complete_question", "_looks_like_complete_question");
    if (!q) return nullptr;
    Ref config(PyObject_GetAttrString(self, "config"));
    if (!config) return nullptr;
    MessageText m(q);
    return py_bool(looks_like_complete_question(self, config.get(), m, q));
}

}  // namespace

PyMethodDef lens_detect_methods[] = {
    {"_detect_explicit_turn_reference", AW_KW(py_explicit),
     "_detect_explicit_turn_reference($self, /, question)\n--\n\nThe turn number the message names, or None."},
    {"_detect_artifact_reference", AW_KW(py_artifact),
     "_detect_artifact_reference($self, /, question)\n--\n\nThe artifact reference the message names, or None."},
    {"_artifact_matches", AW_KW(py_artifact_matches),
     "_artifact_matches($self, /, ref, card)\n--\n\nWhether an artifact reference names this card."},
    {"_is_suggestion_request", AW_KW(py_suggestion),
     "_is_suggestion_request($self, /, question)\n--\n\nWhether the message asks for suggestions."},
    {"_has_followup_signal", AW_KW(py_followup),
     "_has_followup_signal($self, /, question)\n--\n\nWhether the message points back at an earlier result."},
    {"_has_pronoun_followup", AW_KW(py_pronoun),
     "_has_pronoun_followup($self, /, question)\n--\n\nWhether the message holds a real back-reference word."},
    {"_has_modify_signal", AW_KW(py_modify),
     "_has_modify_signal($self, /, question, delta)\n--\n\nWhether the message asks to change an earlier result."},
    {"_has_ambiguous_reference", AW_KW(py_ambiguous),
     "_has_ambiguous_reference($self, /, question)\n--\n\nWhether the message uses a reference with an unclear target."},
    {"_looks_like_complete_question", AW_KW(py_complete),
     "_looks_like_complete_question($self, /, question)\n--\n\nWhether the message reads as a question of its own."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace tl

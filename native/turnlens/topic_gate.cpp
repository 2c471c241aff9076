// The topic gate: does a message point back at an earlier turn at all?
//
// A message continues an earlier turn when it says so ("what about ...",
// "how about ...", "instead", a leading "and"), when it leans on a pronoun
// while naming little itself, when it is a fragment (at most two content
// words in at most five words), when a fair share of its content words
// appear on a card, or when it names a card's artifact. A complete question
// with none of these is a new topic, whatever edit words it carries.
#include "turnlens/modes.hpp"

#include "common/pytext.hpp"
#include "core/text.hpp"

#include <algorithm>
#include <unordered_set>

namespace tl::modes {

namespace {

using aw::Ref;
using aw::WordSet;

// Words that carry no topic: question and function words, pronouns, lead-in
// words and the generic nouns of any question about a table.
const WordSet& non_content() {
    static const WordSet s{
        // question words and auxiliaries
        "what", "which", "who", "whom", "whose", "when", "where", "why", "how", "what's", "who's", "where's",
        "when's", "how's", "is", "are", "was", "were", "be", "been", "being", "do", "does", "did", "has", "have",
        "had", "can", "could", "will", "would", "should", "shall", "may", "might", "must",
        // articles, conjunctions, prepositions
        "a", "an", "the", "and", "or", "but", "nor", "of", "in", "on", "at", "for", "with", "by", "from", "to", "into",
        "onto", "during", "after", "before", "since", "until", "than", "between", "among", "against", "without",
        "within", "under", "over", "above", "below", "per", "about", "through", "via", "like",
        // pronouns and people
        "it", "its", "he", "him", "his", "she", "her", "hers", "they", "them", "their", "theirs", "those", "these",
        "this", "that", "one", "ones", "not", "no", "yes", "me", "i", "you", "we", "us", "my", "your", "our",
        "please",
        // lead-in words
        "then", "also", "so", "now", "ok", "okay", "just", "instead", "if", "well",
        // edit and request words: they ask for a change, they do not name a topic
        "show", "list", "give", "find", "display", "get", "tell", "make", "change", "convert", "replace", "switch",
        "consider", "use", "using", "remove", "exclude", "include", "add", "sort", "sorted", "filter", "group",
        "grouped", "compare", "split", "break", "drill", "drilldown", "order", "ordered",
        // generic nouns and quantifiers
        "many", "much", "number", "numbers", "total", "all", "table", "name", "names", "other", "others",
        "there", "here", "any", "some", "each", "every"};
    return s;
}

const WordSet& back_pronouns() {
    static const WordSet s{"it", "its", "they", "them", "those", "he", "him", "his", "she", "her", "ones", "others",
                           "latter", "former"};
    return s;
}

struct Lead {
    std::vector<std::string_view> words;
};

std::vector<Lead> leads(std::initializer_list<const char*> texts) {
    std::vector<Lead> out;
    for (const char* t : texts) {
        Lead l;
        std::string_view s(t);
        size_t i = 0;
        while (i < s.size()) {
            size_t j = s.find(' ', i);
            if (j == std::string_view::npos) j = s.size();
            l.words.push_back(s.substr(i, j - i));
            i = j + 1;
        }
        out.push_back(std::move(l));
    }
    return out;
}

// Openings that continue what was said before.
const std::vector<Lead>& continuation_openings() {
    static const std::vector<Lead> v = leads(
        {"what about", "how about", "what if", "and", "then", "also", "just", "only", "instead", "but", "or", "now",
         "so", "as for", "besides", "among", "of those", "of them", "in those", "in them", "except", "excluding",
         "other than", "not", "same", "again", "how is it", "how's it", "how is", "what's that", "what is that",
         // edits of what is on screen
         "remove", "get rid of", "drop", "delete", "exclude", "without", "no longer", "add", "plus", "make it",
         "change it", "switch to"});
    return v;
}
// Phrases that continue it anywhere in the message.
const std::vector<Lead>& continuation_phrases() {
    static const std::vector<Lead> v = leads({"what about", "how about", "what if", "instead", "as well", "too"});
    return v;
}

bool at(const std::vector<std::string>& ws, size_t i, const Lead& l) {
    if (ws.size() - i < l.words.size()) return false;
    for (size_t k = 0; k < l.words.size(); ++k)
        if (ws[i + k] != l.words[k]) return false;
    return true;
}

// Lower-case [\w']+ words of a text.
std::vector<std::string> words_of(std::string_view text) {
    std::vector<Piece> pieces;
    split_pieces(text, false, pieces);
    std::vector<std::string> out;
    for (Piece& p : pieces)
        if (p.word) out.push_back(std::move(p.low));
    return out;
}

// The distinct folded content words, in order.
void add_content(const std::vector<std::string>& ws, std::vector<std::string>& out) {
    std::unordered_set<std::string> seen(out.begin(), out.end());
    for (const std::string& w : ws) {
        if (non_content().contains(w)) continue;
        std::string f = fold(w);
        if (seen.insert(f).second) out.push_back(std::move(f));
    }
}

constexpr size_t kEllipsisContent = 2, kEllipsisWords = 5;  // a fragment
constexpr size_t kPronounContent = 4;                          // a pronoun leans on an earlier turn
constexpr double kSharedShare = 0.25;                          // of the message's content words

}  // namespace

unsigned message_evidence(std::string_view message, std::vector<std::string>& content) {
    std::vector<std::string> ws = words_of(message);
    content.clear();
    add_content(ws, content);
    unsigned kinds = 0;
    for (const Lead& l : continuation_openings())
        if (at(ws, 0, l)) kinds |= EV_CONTINUATION;
    for (size_t i = 0; i < ws.size() && !(kinds & EV_CONTINUATION); ++i)
        for (const Lead& l : continuation_phrases())
            if (at(ws, i, l)) kinds |= EV_CONTINUATION;
    bool pronoun = std::any_of(ws.begin(), ws.end(), [](const std::string& w) { return back_pronouns().contains(w); });
    // "same" points back unless the message says what it is the same as
    auto same = std::find(ws.begin(), ws.end(), "same");
    if (same != ws.end() && std::find(same, ws.end(), "as") == ws.end()) pronoun = true;
    if (pronoun && content.size() <= kPronounContent) kinds |= EV_PRONOUN;
    if (content.size() <= kEllipsisContent && ws.size() <= kEllipsisWords) kinds |= EV_ELLIPSIS;
    return kinds;
}

bool shares_content(const std::vector<std::string>& content, std::string_view card_text) {
    if (content.empty()) return false;
    std::vector<std::string> words;
    add_content(words_of(card_text), words);
    const std::unordered_set<std::string> card(words.begin(), words.end());
    size_t shared = 0;
    for (const std::string& w : content) shared += card.count(w);
    return shared > 0 && static_cast<double>(shared) >= kSharedShare * static_cast<double>(content.size());
}

int followup_evidence(PyObject* message, PyObject* cards, unsigned& kinds) {
    if (!require_str(message, "resolve", "current_question")) return -1;
    std::vector<std::string> content;
    {
        TextView tv(message);
        kinds = message_evidence(tv.view, content);
    }
    if (!cards || content.empty()) return 0;
    // Shared words count only when nothing else has shown a follow-up.
    if (kinds) return 0;
    bool ok = for_each_item(cards, [&](PyObject* card) -> int {
        std::string text;
        if (!card_searchable_text(card, text)) return -1;
        if (shares_content(content, text)) {
            kinds |= EV_SHARED;
            return 0;
        }
        return 1;
    });
    return ok ? 0 : -1;
}

int reference_matches_any(PyObject* ref, PyObject* cards) {
    if (!PyUnicode_Check(ref)) return 0;  // a replaced detector's odd answer names no card
    int found = 0;
    bool ok = for_each_item(cards, [&](PyObject* card) -> int {
        int m = artifact_matches(ref, card);
        if (m < 0) return -1;
        found = m;
        return m ? 0 : 1;
    });
    return ok ? found : -1;
}

}  // namespace tl::modes

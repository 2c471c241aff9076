// The opt-in modes of TurnLens: the topic gate and merged follow-ups.
// Off by default; with both off nothing here runs.
#pragma once
#include "turnlens/turnlens.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace tl::modes {

// A piece of a text: a word ([\w']+ runs, or whole values such as 9.400,
// 1,769 and 0-10 when values are joined) or one other visible character.
// low is the host's lowercasing; begin and end are byte offsets in the text.
struct Piece {
    std::string low;
    size_t begin = 0, end = 0;
    bool word = false;
};
void split_pieces(std::string_view text, bool join_values, std::vector<Piece>& out);

// Plural endings folded away, so that "cups" meets "cup".
std::string fold(std::string_view word);

// What in a message points back at an earlier turn.
enum Evidence : unsigned {
    EV_CONTINUATION = 1,  // "what about", "how about", "instead", a leading "and" ...
    EV_PRONOUN = 2,       // it, them, those, his ... in a message that names little itself
    EV_ELLIPSIS = 4,      // a fragment: at most two content words in at most five words
    EV_SHARED = 8,        // a fair share of its content words also appear on a card
    EV_REFERENCE = 16,    // an artifact reference that matches a card
};
// The kinds that make a short follow-up, read from the message alone.
constexpr unsigned kShortFollowup = EV_CONTINUATION | EV_PRONOUN | EV_ELLIPSIS;

// The message's own kinds; content receives its folded content words.
unsigned message_evidence(std::string_view message, std::vector<std::string>& content);
// True when the shared content words make up enough of the message's.
bool shares_content(const std::vector<std::string>& content, std::string_view card_text);

// The message's evidence; with cards (a sequence of cards, may be null) the
// words it shares with any of them count too. -1 with a Python error set.
int followup_evidence(PyObject* message, PyObject* cards, unsigned& kinds);
// 1 when an artifact reference matches one of the cards, 0 when none, -1 on error.
int reference_matches_any(PyObject* ref, PyObject* cards);

// The earlier question with the follow-up's change applied. False when the
// texts are too long to align (the caller keeps its own composition).
bool merge_followup(std::string_view earlier, std::string_view message, std::string& out);

}  // namespace tl::modes

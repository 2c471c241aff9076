// The lexical rules of a catalog, worked out ahead for many questions: every
// field's words in an inverted index, every phrase in a trie. A question then
// touches only the fields that share a word with it, and one pass over its
// text finds every phrase it contains. The scores are those lexical_table and
// lexical_column give, to the bit: the same sums in the same order.
#pragma once
#include "schemasift/pipeline.hpp"

#include <string>
#include <unordered_map>
#include <vector>

namespace sift {

// Sets up a new thread's per-thread data (the scoring scratch, the C++
// runtime's exception state) before it does any work. The C library makes a
// loaded module's thread data on first use and ends the process when it
// cannot: at the start the few bytes are all but sure to be there, while a
// first use in the middle of a failing allocation would find none.
void ready_thread_data();

class LexicalIndex {
public:
    // Reads only native data: may run without the interpreter lock.
    void build(const CatalogData& c);
    void score(const CatalogData& c, const Query& q, const Settings& s, LexicalScores& out) const;

private:
    // Fields of table t: 4t + (name, business name, tags, description); of
    // column k: 4(tables + k) + (name, synonyms, tags, description).
    enum : uint32_t { F_NAME, F_SECOND, F_TAGS, F_DESCRIPTION, F_COUNT };
    // Phrase targets: kind in the low 2 bits, table or column index above.
    enum : uint32_t { P_TABLE, P_BUSINESS, P_COLUMN, P_SYNONYM };

    uint32_t add_phrase(const std::string& phrase);
    uint32_t child(uint32_t node, unsigned char byte) const;

    size_t tables_ = 0, columns_ = 0;
    std::unordered_map<std::string, uint32_t> words_;
    std::vector<uint32_t> post_begin_, postings_;  // fields per word id
    // The phrase trie over bytes; node 0 is the root.
    std::unordered_map<uint64_t, uint32_t> edges_;
    std::vector<std::vector<uint32_t>> node_targets_;
    std::vector<char> always_table_phrase_;  // a name whose phrase is empty is in every question
    // Columns that share no word or phrase with a question score by their
    // role alone: one representative column per role and keyword class.
    std::vector<uint8_t> column_class_;
    std::vector<uint32_t> class_example_;
};

}  // namespace sift

// The lexical rules worked out ahead: an inverted index of field words and a
// phrase trie (see lexindex.hpp).
#include "schemasift/lexindex.hpp"

#include "core/unicode.hpp"

#include <algorithm>
#include <exception>
#include <unordered_set>

namespace sift {

namespace {

// The distinct words tokenize() finds in one or more texts.
void words_of(std::string_view text, std::string& buf, std::unordered_set<std::string>& out) {
    buf.clear();
    aw::split_identifier_append(text, buf);
    aw::for_each_word(buf, [&](std::string_view w) { out.emplace(w); });
}

// Per-thread working arrays, kept zero between questions.
struct Marks {
    std::vector<uint32_t> counts;   // distinct question words per field
    std::vector<char> column_seen;
    std::vector<uint32_t> phrases;  // phrase hits per (document, kind)
    std::vector<uint32_t> touched_counts, touched_phrases, nodes, columns;
    void fit(size_t fields, size_t docs, size_t cols) {
        if (column_seen.size() < cols) column_seen.resize(cols, 0);
        if (counts.size() < fields) counts.resize(fields, 0);
        if (phrases.size() < docs) phrases.resize(docs, 0);
    }
    void clear() {
        for (uint32_t f : touched_counts) counts[f] = 0;
        for (uint32_t d : touched_phrases) phrases[d] = 0;
        for (uint32_t k : columns) column_seen[k] = 0;
        touched_counts.clear();
        touched_phrases.clear();
        nodes.clear();
        columns.clear();
    }
};

}  // namespace

uint32_t LexicalIndex::child(uint32_t node, unsigned char byte) const {
    auto it = edges_.find((uint64_t(node) << 8) | byte);
    return it == edges_.end() ? 0 : it->second;
}

uint32_t LexicalIndex::add_phrase(const std::string& phrase) {
    uint32_t node = 0;
    for (unsigned char b : phrase) {
        auto [it, added] = edges_.emplace((uint64_t(node) << 8) | b, static_cast<uint32_t>(node_targets_.size()));
        if (added) node_targets_.emplace_back();
        node = it->second;
    }
    return node;
}

void LexicalIndex::build(const CatalogData& c) {
    tables_ = c.tables.size();
    columns_ = c.columns.size();
    words_.clear();
    edges_.clear();
    node_targets_.assign(1, {});
    always_table_phrase_.assign(tables_, 0);
    std::vector<std::pair<uint32_t, uint32_t>> pairs;  // (word id, field)
    std::unordered_set<std::string> words;
    std::string buf, phrase;
    auto add_field = [&](uint32_t field) {
        for (const std::string& w : words) {
            auto it = words_.emplace(w, static_cast<uint32_t>(words_.size())).first;
            pairs.emplace_back(it->second, field);
        }
        words.clear();
    };
    auto add_target = [&](const std::string& p, uint32_t kind, size_t index) {
        node_targets_[add_phrase(p)].push_back(static_cast<uint32_t>(index << 2) | kind);
    };
    for (size_t t = 0; t < tables_; ++t) {
        const TableData& td = c.tables[t];
        const uint32_t base = static_cast<uint32_t>(t * F_COUNT);
        words_of(c.text(td.name), buf, words);
        add_field(base + F_NAME);
        words_of(c.text(td.business), buf, words);
        add_field(base + F_SECOND);
        for (uint32_t i = td.tag_begin; i < td.tag_end; ++i) words_of(c.text(c.items[i]), buf, words);
        add_field(base + F_TAGS);
        words_of(c.text(td.description), buf, words);
        add_field(base + F_DESCRIPTION);
        if (!c.text(td.name).empty()) {
            phrase.clear();
            aw::split_identifier_append(c.text(td.name), phrase);
            if (phrase.empty()) always_table_phrase_[t] = 1;
            else add_target(phrase, P_TABLE, t);
        }
        if (!c.text(td.business).empty()) {
            phrase.clear();
            aw::lower_append(c.text(td.business), phrase);
            add_target(phrase, P_BUSINESS, t);
        }
    }
    for (size_t k = 0; k < columns_; ++k) {
        const ColumnData& col = c.columns[k];
        const uint32_t base = static_cast<uint32_t>((tables_ + k) * F_COUNT);
        words_of(c.text(col.name), buf, words);
        add_field(base + F_NAME);
        for (uint32_t i = col.syn_begin; i < col.syn_end; ++i) words_of(c.text(c.items[i]), buf, words);
        add_field(base + F_SECOND);
        for (uint32_t i = col.tag_begin; i < col.tag_end; ++i) words_of(c.text(c.items[i]), buf, words);
        add_field(base + F_TAGS);
        words_of(c.text(col.description), buf, words);
        add_field(base + F_DESCRIPTION);
        if (!c.text(col.name).empty()) {
            phrase.clear();
            aw::split_identifier_append(c.text(col.name), phrase);
            if (!phrase.empty()) add_target(phrase, P_COLUMN, k);
        }
        // Every synonym counts: equal synonyms each add their bonus.
        for (uint32_t i = col.syn_begin; i < col.syn_end; ++i) {
            if (c.text(c.items[i]).empty()) continue;
            phrase.clear();
            aw::lower_append(c.text(c.items[i]), phrase);
            if (!phrase.empty()) add_target(phrase, P_SYNONYM, k);
        }
    }
    column_class_.resize(columns_);
    class_example_.assign(2 * (ROLE_OTHER + 1), UINT32_MAX);
    for (size_t k = 0; k < columns_; ++k) {
        phrase.clear();
        aw::lower_append(c.text(c.columns[k].name), phrase);
        const bool keyword = phrase.find("status") != std::string::npos || phrase.find("type") != std::string::npos ||
                             phrase.find("category") != std::string::npos;
        const uint8_t cls = static_cast<uint8_t>(2 * c.columns[k].role + keyword);
        column_class_[k] = cls;
        if (class_example_[cls] == UINT32_MAX) class_example_[cls] = static_cast<uint32_t>(k);
    }
    std::sort(pairs.begin(), pairs.end());
    post_begin_.assign(words_.size() + 1, 0);
    postings_.resize(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
        post_begin_[pairs[i].first + 1]++;
        postings_[i] = pairs[i].second;
    }
    for (size_t w = 0; w < words_.size(); ++w) post_begin_[w + 1] += post_begin_[w];
}

namespace {
Marks& thread_marks() {
    thread_local Marks marks;
    return marks;
}
}  // namespace

void ready_thread_data() {
    (void)thread_marks();
    (void)std::uncaught_exceptions();
}

void LexicalIndex::score(const CatalogData& c, const Query& q, const Settings& s, LexicalScores& out) const {
    Marks& m = thread_marks();
    m.fit((tables_ + columns_) * F_COUNT, (tables_ + columns_) * 2, columns_);
    for (size_t i = 0; i < q.tokens.size(); ++i) {
        auto it = words_.find(q.tokens.at(i));
        if (it == words_.end()) continue;
        for (uint32_t p = post_begin_[it->second]; p < post_begin_[it->second + 1]; ++p)
            if (m.counts[postings_[p]]++ == 0) m.touched_counts.push_back(postings_[p]);
    }
    // Every phrase the lowered question contains, once each.
    const std::string& text = q.lowered;
    for (size_t start = 0; start < text.size(); ++start) {
        uint32_t node = 0;
        for (size_t j = start; j < text.size(); ++j) {
            node = child(node, static_cast<unsigned char>(text[j]));
            if (!node) break;
            if (!node_targets_[node].empty()) m.nodes.push_back(node);
        }
    }
    std::sort(m.nodes.begin(), m.nodes.end());
    m.nodes.erase(std::unique(m.nodes.begin(), m.nodes.end()), m.nodes.end());
    for (uint32_t node : m.nodes)
        for (uint32_t target : node_targets_[node]) {
            const size_t index = target >> 2;
            size_t doc;
            switch (target & 3) {
                case P_TABLE: doc = 2 * index; break;
                case P_BUSINESS: doc = 2 * index + 1; break;
                case P_COLUMN: doc = 2 * (tables_ + index); break;
                default: doc = 2 * (tables_ + index) + 1; break;
            }
            if (m.phrases[doc]++ == 0) m.touched_phrases.push_back(static_cast<uint32_t>(doc));
        }

    const size_t n = q.tokens.size();
    const double bonus = s.exact_phrase_bonus;
    out.table.resize(tables_);
    for (size_t t = 0; t < tables_; ++t) {
        const uint32_t* f = &m.counts[t * F_COUNT];
        double score = 0.0;
        score += overlap_score(f[F_NAME], n, s.table_name_weight);
        score += overlap_score(f[F_SECOND], n, s.table_business_name_weight);
        score += overlap_score(f[F_TAGS], n, s.table_tag_weight);
        score += overlap_score(f[F_DESCRIPTION], n, s.table_description_weight);
        if (m.phrases[2 * t] || always_table_phrase_[t]) score += bonus;
        if (m.phrases[2 * t + 1]) score += bonus;
        out.table[t] = normalize_lexical(score);
    }
    // Columns by their class first, then every column with evidence of its own.
    Scratch scratch;
    double by_class[2 * (ROLE_OTHER + 1)];
    for (size_t cls = 0; cls < class_example_.size(); ++cls)
        if (class_example_[cls] != UINT32_MAX)
            by_class[cls] = normalize_lexical(column_role_score(c, c.columns[class_example_[cls]], q, s, 0.0, scratch,
                                                                nullptr));
    out.column.resize(columns_);
    for (size_t k = 0; k < columns_; ++k) out.column[k] = by_class[column_class_[k]];
    const uint32_t first_column = static_cast<uint32_t>(tables_);
    auto seen = [&](uint32_t doc) {
        if (doc < first_column) return;
        const uint32_t k = doc - first_column;
        if (!m.column_seen[k]) {
            m.column_seen[k] = 1;
            m.columns.push_back(k);
        }
    };
    for (uint32_t f : m.touched_counts) seen(f / F_COUNT);
    for (uint32_t d : m.touched_phrases) seen(d / 2);
    for (uint32_t k : m.columns) {
        const uint32_t* f = &m.counts[(tables_ + k) * F_COUNT];
        double score = 0.0;
        score += overlap_score(f[F_NAME], n, s.column_name_weight);
        score += overlap_score(f[F_SECOND], n, s.column_synonym_weight);
        score += overlap_score(f[F_TAGS], n, s.column_tag_weight);
        score += overlap_score(f[F_DESCRIPTION], n, s.column_description_weight);
        const size_t doc = 2 * (tables_ + k);
        if (m.phrases[doc]) score += bonus;
        for (uint32_t i = 0; i < m.phrases[doc + 1]; ++i) score += bonus;
        out.column[k] = normalize_lexical(column_role_score(c, c.columns[k], q, s, score, scratch, nullptr));
    }
    m.clear();
}

}  // namespace sift

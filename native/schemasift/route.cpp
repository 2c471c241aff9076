// Schema routing for catalogs whose table names are qualified ("schema.table"):
// the likely schema is chosen first, from the question words its names cover
// (weighted by how few schemas share each word) and from its best table score;
// tables are then chosen within it. Required tables are always allowed.
#include "schemasift/pipeline.hpp"

#include "core/unicode.hpp"

#include <cmath>
#include <unordered_set>

namespace sift {

namespace {
// Words compare without a plural "s", so "singers" meets "singer".
std::string stem(std::string_view w) {
    if (w.size() > 3 && w.back() == 's') w.remove_suffix(1);
    return std::string(w);
}

// How much the best table score counts beside the share of covered words.
constexpr double kTableScoreWeight = 1.0;
}  // namespace

void SchemaRouter::build(const CatalogData& c) {
    std::unordered_map<std::string_view, uint32_t> ids;
    table_schema.resize(c.tables.size());
    std::vector<std::unordered_set<std::string>> words;
    std::string buf;
    auto add = [&](uint32_t s, std::string_view text) {
        buf.clear();
        aw::split_identifier_append(text, buf);
        aw::for_each_word(buf, [&](std::string_view w) { words[s].insert(stem(w)); });
    };
    for (size_t t = 0; t < c.tables.size(); ++t) {
        std::string_view name = c.text(c.tables[t].name);
        const size_t dot = name.find('.');
        std::string_view schema = dot == std::string_view::npos ? std::string_view() : name.substr(0, dot);
        auto [it, added] = ids.emplace(schema, static_cast<uint32_t>(ids.size()));
        if (added) words.emplace_back();
        const uint32_t s = it->second;
        table_schema[t] = s;
        add(s, dot == std::string_view::npos ? name : name.substr(dot + 1));
        add(s, c.text(c.tables[t].business));
        for (uint32_t k = c.tables[t].col_begin; k < c.tables[t].col_end; ++k) add(s, c.text(c.columns[k].name));
    }
    schemas = ids.size();
    stem_schemas.clear();
    for (uint32_t s = 0; s < words.size(); ++s)
        for (const std::string& w : words[s]) stem_schemas[w].push_back(s);
}

void SchemaRouter::route(const Query& q, const std::vector<double>& table_scores, std::vector<char>& allowed) const {
    allowed.assign(table_schema.size(), 1);
    if (schemas < 2) return;
    std::vector<double> covered(schemas, 0.0), best(schemas, -INFINITY);
    std::unordered_set<std::string> seen;
    double total = 0.0;
    for (size_t i = 0; i < q.tokens.size(); ++i) {
        std::string w = stem(q.tokens.at(i));
        if (!seen.insert(w).second) continue;
        auto it = stem_schemas.find(w);
        if (it == stem_schemas.end()) continue;
        const double weight = std::log(static_cast<double>(schemas) / static_cast<double>(it->second.size()));
        total += weight;
        for (uint32_t s : it->second) covered[s] += weight;
    }
    if (total <= 0.0) total = 1.0;
    for (size_t t = 0; t < table_schema.size(); ++t)
        best[table_schema[t]] = std::max(best[table_schema[t]], table_scores[t]);
    size_t chosen = 0;
    double top = -INFINITY;
    for (size_t s = 0; s < schemas; ++s) {
        const double score = covered[s] / total + kTableScoreWeight * (std::isfinite(best[s]) ? best[s] : 0.0);
        if (score > top) {
            top = score;
            chosen = s;
        }
    }
    for (size_t t = 0; t < table_schema.size(); ++t) allowed[t] = table_schema[t] == chosen;
}

}  // namespace sift

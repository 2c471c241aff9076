// Join paths: when the two leading chosen tables are not joined by a
// relationship but one table joins them both, that bridge joins the choice.
// Measured on real questions, bridging only the leading pair (and only through
// one unambiguous bridge) gains; bridging every pair displaces good tables.
#include "schemasift/pipeline.hpp"

#include <unordered_map>

namespace sift {

bool JoinGraph::build(const CatalogData& c, const RelationshipEnds& ends) {
    std::unordered_map<std::string_view, uint32_t> by_name;
    for (size_t t = 0; t < c.tables.size(); ++t) by_name.emplace(c.text(c.tables[t].name), static_cast<uint32_t>(t));
    neighbors.assign(c.tables.size(), {});
    const Py_ssize_t n = PyList_GET_SIZE(ends.records.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto from = by_name.find(ends.ends[static_cast<size_t>(i)].first);
        auto to = by_name.find(ends.ends[static_cast<size_t>(i)].second);
        if (from == by_name.end() || to == by_name.end() || from->second == to->second) continue;
        PyObject* r = PyList_GET_ITEM(ends.records.get(), i);
        PyObject* fc = aw::rec_get(r, R_FROM_COLUMN);
        PyObject* tc = fc ? aw::rec_get(r, R_TO_COLUMN) : nullptr;
        if (!tc) return false;
        neighbors[from->second].push_back({to->second, fc, tc});
        neighbors[to->second].push_back({from->second, tc, fc});
    }
    return true;
}

namespace {
bool joined(const JoinGraph& g, size_t a, size_t b) {
    for (const JoinGraph::Edge& e : g.neighbors[a])
        if (e.table == b) return true;
    return false;
}
}  // namespace

bool add_join_bridge(const JoinGraph& g, const CatalogData& c, const std::vector<char>& is_required, long long top_k,
                     std::vector<size_t>& chosen, JoinBridge& out) {
    out = JoinBridge();
    if (chosen.size() < 2) return false;
    const size_t a = chosen[0], b = chosen[1];
    if (joined(g, a, b)) return false;
    // The one table next to both; none or several: no bridge.
    size_t bridge = SIZE_MAX;
    for (const JoinGraph::Edge& e : g.neighbors[a]) {
        if (e.table == bridge || !joined(g, e.table, b)) continue;
        if (bridge != SIZE_MAX) return false;
        bridge = e.table;
    }
    if (bridge == SIZE_MAX) return false;
    for (size_t t : chosen)
        if (t == bridge) return false;
    const size_t limit = top_k < 1 ? 1 : static_cast<size_t>(top_k);
    if (chosen.size() + 1 > limit) {
        // the bridge takes the place of the lowest-ranked table not required
        size_t drop = SIZE_MAX;
        for (size_t i = chosen.size(); i-- > 1;)
            if (!is_required[chosen[i]]) {
                drop = i;
                break;
            }
        if (drop == SIZE_MAX) return false;
        // a table joined to the leading one already makes a join path with it
        if (joined(g, chosen[drop], a)) return false;
        chosen.erase(chosen.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    chosen.insert(chosen.begin() + 1, bridge);
    out.table = bridge;
    out.reason = "join path: ";
    out.reason += c.text(c.tables[a].name);
    out.reason += " -> ";
    out.reason += c.text(c.tables[bridge].name);
    out.reason += " -> ";
    out.reason += c.text(c.tables[b].name);
    for (const JoinGraph::Edge& e : g.neighbors[bridge])
        if (e.table == a || e.table == b) out.key_columns.push_back(e.own_column);
    return true;
}

}  // namespace sift

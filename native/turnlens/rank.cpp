// Candidate ranking of earlier turns and the choice of the base turn.
#include "turnlens/turnlens.hpp"

#include "common/pytext.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>

namespace tl {
using aw::Ref;

namespace {

// Settings read when first needed, as attribute reads would be.
class Settings {
public:
    explicit Settings(PyObject* config) : config_(config) {}
    PyObject* get(ConfigField f) {
        if (!v_[f]) v_[f] = Ref(config_field(config_, f));
        return v_[f].get();
    }

private:
    PyObject* config_;
    Ref v_[CFG_COUNT];
};

// A float score built by the host's arithmetic: plain doubles while every
// operand is an exact float or int, the objects' own operators otherwise.
class Score {
public:
    bool add(PyObject* w) {  // w null: reading the weight failed
        if (!w) return false;
        double x;
        if (!obj_ && as_double(w, x)) {
            d_ += x;
            return true;
        }
        if (PyErr_Occurred() || !promote()) return false;
        obj_ = Ref(PyNumber_InPlaceAdd(obj_.get(), w));
        return bool(obj_);
    }
    // score += factor * w, factor a float
    bool add_product(double factor, PyObject* w) {
        if (!w) return false;
        double x;
        if (!obj_ && as_double(w, x)) {
            d_ += factor * x;
            return true;
        }
        if (PyErr_Occurred() || !promote()) return false;
        Ref f(PyFloat_FromDouble(factor));
        Ref product(f ? PyNumber_Multiply(f.get(), w) : nullptr);
        obj_ = Ref(product ? PyNumber_InPlaceAdd(obj_.get(), product.get()) : nullptr);
        return bool(obj_);
    }
    bool mul(PyObject* q) {
        double x;
        if (!obj_ && as_double(q, x)) {
            d_ *= x;
            return true;
        }
        if (PyErr_Occurred() || !promote()) return false;
        obj_ = Ref(PyNumber_InPlaceMultiply(obj_.get(), q));
        return bool(obj_);
    }
    PyObject* result() { return obj_ ? Py_NewRef(obj_.get()) : PyFloat_FromDouble(d_); }

private:
    double d_ = 0.0;
    Ref obj_;

    // float op int converts the int exactly as the host does (OverflowError
    // beyond the float range); other kinds go through their own operators.
    static bool as_double(PyObject* w, double& x) {
        if (PyFloat_CheckExact(w)) {
            x = PyFloat_AS_DOUBLE(w);
            return true;
        }
        if (PyLong_CheckExact(w) || PyBool_Check(w)) {
            x = PyLong_AsDouble(w);
            return !(x == -1.0 && PyErr_Occurred());
        }
        return false;
    }
    bool promote() {
        if (!obj_) obj_ = Ref(PyFloat_FromDouble(d_));
        return bool(obj_);
    }
};

// f"{x:.2f}"
bool append_fixed2(std::string& out, double x) {
    char* s = PyOS_double_to_string(x, 'f', 2, 0, nullptr);
    if (!s) return false;
    out += s;
    PyMem_Free(s);
    return true;
}

// f"{prefix}{value}"
PyObject* formatted_reason(const char* prefix, PyObject* value) {
    Ref empty(PyUnicode_New(0, 0));
    Ref text(empty ? PyObject_Format(value, empty.get()) : nullptr);
    if (!text) return nullptr;
    Ref head(PyUnicode_FromString(prefix));
    return head ? PyUnicode_Concat(head.get(), text.get()) : nullptr;
}

bool append_reason(PyObject* reasons, PyObject* reason, bool steal) {
    if (!reason) return false;
    int r = PyList_Append(reasons, reason);
    if (steal) Py_DECREF(reason);
    return r == 0;
}

PyObject* attrgetter(const char* name) {
    Ref op(PyImport_ImportModule("operator"));
    return op ? PyObject_CallMethod(op.get(), "attrgetter", "s", name) : nullptr;
}

// list.sort(key=attrgetter(name), reverse=True)
bool host_sort_desc(PyObject* list, const char* name) {
    Ref key(attrgetter(name));
    Ref sort(key ? PyObject_GetAttrString(list, "sort") : nullptr);
    Ref args(sort ? PyTuple_New(0) : nullptr);
    Ref kw(args ? Py_BuildValue("{sOsO}", "key", key.get(), "reverse", Py_True) : nullptr);
    Ref r(kw ? PyObject_Call(sort.get(), args.get(), kw.get()) : nullptr);
    return bool(r);
}

// Distinct words, sorted (small sets: cheaper than hashing).
void distinct(std::vector<std::string_view>& words) {
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
}

// Distinct words with their hashes, sorted by hash: a message's few words are
// looked up by number, and only a hash match compares text.
using HashedWords = std::vector<std::pair<size_t, std::string_view>>;

HashedWords hashed(const std::vector<std::string_view>& distinct_words) {
    HashedWords out;
    out.reserve(distinct_words.size());
    for (std::string_view w : distinct_words) out.emplace_back(std::hash<std::string_view>()(w), w);
    std::sort(out.begin(), out.end());
    return out;
}

// The distinct content words of a text.
struct TextWords {
    std::string text;  // the key, kept with the entry
    std::string buf;
    HashedWords words;  // views into buf
};

// Word sets of card texts, remembered by their content: the same cards are
// ranked again on every turn. Only used with the interpreter lock held; a
// caller keeps its entry alive even when a nested call empties the cache.
class WordCache {
public:
    std::shared_ptr<const TextWords> get(std::string_view text) {
        if (text.size() > kMaxText) return make(text);
        auto it = map_.find(text);
        if (it != map_.end()) return it->second;
        auto entry = make(text);
        if (map_.size() >= kMaxEntries || bytes_ + text.size() > kMaxBytes) {
            map_.clear();
            bytes_ = 0;
        }
        map_.emplace(std::string_view(entry->text), entry);
        bytes_ += text.size();
        return entry;
    }

private:
    // Bounded by count and by text held (an entry holds about three times its
    // text): long card texts must not pin tens of MB for the process.
    static constexpr size_t kMaxText = 1 << 14, kMaxEntries = 2048, kMaxBytes = 1 << 22;
    size_t bytes_ = 0;
    static std::shared_ptr<TextWords> make(std::string_view text) {
        auto entry = std::make_shared<TextWords>();
        entry->text.assign(text);
        std::vector<std::string_view> tokens;
        aw::tokenize(entry->text, &vocab().stopwords, entry->buf, tokens);
        distinct(tokens);
        entry->words = hashed(tokens);
        return entry;
    }
    std::unordered_map<std::string_view, std::shared_ptr<const TextWords>> map_;
};

WordCache& word_sets() {
    static WordCache* cache = new WordCache();  // kept for the process
    return *cache;
}

// The two card texts the ranking reads.
enum class CardText { searchable, entities };

// The identity of a card text's inputs when they are all plain values:
// exact str, int, float, bool or None leaves inside exact lists, tuples and
// str-keyed dicts. Such values are immutable or compared element by
// element, and turning them into text runs no caller code, so equal shapes
// whose leaves are kept alive give equal texts.
class Shape {
public:
    // False when some input is not plain (or a field is unset). The leaves
    // are listed only when asked for.
    bool read(PyObject* card, CardText which, bool list_leaves) {
        key_.clear();
        leaves_.clear();
        list_leaves_ = list_leaves;
        push(which == CardText::searchable ? 1 : 3);
        static const CardField text_fields[] = {CARD_USER_QUESTION, CARD_RESOLVED_QUESTION, CARD_ANSWER_SUMMARY,
                                                CARD_TASK_TYPE,     CARD_ARTIFACT_TYPE,     CARD_ARTIFACT_ID,
                                                CARD_ARTIFACT_LABEL};
        static const CardField list_fields[] = {CARD_TOPIC_KEYWORDS, CARD_ENTITIES, CARD_SELECTED_METADATA_IDS};
        static const CardField state_fields[] = {CARD_QUERY_STATE, CARD_RETRIEVAL_STATE, CARD_OUTPUT_STATE};
        auto slot = [&](CardField f) { return reinterpret_cast<aw::RecordObject*>(card)->f[f]; };
        if (which == CardText::searchable)
            for (CardField f : text_fields)
                if (!leaf(slot(f))) return false;
        for (CardField f : list_fields) {
            PyObject* list = slot(f);
            if (!list || !PyList_CheckExact(list)) return false;
            push(tag(PyList_GET_SIZE(list), 5));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
                PyObject* item = PyList_GET_ITEM(list, i);
                if (!PyUnicode_CheckExact(item) || !leaf(item)) return false;
            }
        }
        if (which == CardText::searchable)
            for (CardField f : state_fields)
                if (!tree(slot(f), 0)) return false;
        return true;
    }
    using Key = std::vector<uintptr_t>;
    const Key& key() const { return key_; }
    const std::vector<PyObject*>& leaves() const { return leaves_; }  // borrowed

private:
    // Deeper (or circular) values and very large ones take the general path:
    // an entry keeps every leaf alive, and a state's text is cut at 1000 code
    // points whatever its size.
    static constexpr int kMaxDepth = 24;
    static constexpr size_t kMaxTokens = 1024;
    Key key_;
    std::vector<PyObject*> leaves_;
    bool list_leaves_ = false;

    static uintptr_t tag(Py_ssize_t size, uintptr_t kind) { return (static_cast<uintptr_t>(size) << 4) | kind; }
    void push(uintptr_t token) { key_.push_back(token); }
    void keep(PyObject* v) {  // object addresses are even: they never equal a tag
        push(reinterpret_cast<uintptr_t>(v));
        if (list_leaves_) leaves_.push_back(v);
    }
    bool leaf(PyObject* v) {
        if (!v || key_.size() >= kMaxTokens) return false;
        if (!(PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) ||
              v == Py_None))
            return false;
        keep(v);
        return true;
    }
    bool tree(PyObject* v, int depth) {
        if (!v || depth > kMaxDepth || key_.size() >= kMaxTokens) return false;
        if (PyList_CheckExact(v) || PyTuple_CheckExact(v)) {
            bool list = PyList_CheckExact(v);
            Py_ssize_t n = list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v);
            push(tag(n, list ? 7 : 9));
            for (Py_ssize_t i = 0; i < n; ++i)
                if (!tree(list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i), depth + 1)) return false;
            return true;
        }
        if (PyDict_CheckExact(v)) {
            push(tag(PyDict_GET_SIZE(v), 11));
            Py_ssize_t pos = 0;
            PyObject *k, *value;
            while (PyDict_Next(v, &pos, &k, &value))
                if (!PyUnicode_CheckExact(k) || !leaf(k) || !tree(value, depth + 1)) return false;
            return true;
        }
        return leaf(v);
    }
};

// Word sets of plain card texts by the shape of their inputs: a card seen
// before skips building its text. Entries keep their leaves alive, so a
// leaf's address cannot be taken by another object while the entry lasts.
class ShapeCache {
public:
    std::shared_ptr<const TextWords> find(const Shape::Key& key) const {
        auto it = map_.find(key);
        return it == map_.end() ? nullptr : it->second.words;
    }
    void put(const Shape& shape, std::shared_ptr<const TextWords> words) {
        size_t bytes = words->text.size() + shape.key().size() * (sizeof(uintptr_t) + sizeof(Ref));
        // The leaves are pinned whole, though a state's text keeps only its head.
        for (PyObject* v : shape.leaves())
            if (PyUnicode_CheckExact(v)) bytes += static_cast<size_t>(PyUnicode_GET_LENGTH(v)) * PyUnicode_KIND(v);
            else if (PyLong_CheckExact(v)) bytes += static_cast<size_t>(Py_ABS(Py_SIZE(v))) * sizeof(digit);
        if (bytes > kMaxBytes / 16) return;  // not worth pinning
        if (map_.size() >= kMaxEntries || bytes_ + bytes > kMaxBytes) {
            map_.clear();  // the leaves are plain values: releasing them runs no caller code
            bytes_ = 0;
        }
        Entry& e = map_[shape.key()];
        e.leaves.clear();
        for (PyObject* v : shape.leaves()) e.leaves.push_back(Ref::borrow(v));
        bytes_ += bytes;
        e.words = std::move(words);
    }

private:
    static constexpr size_t kMaxEntries = 2048, kMaxBytes = 1 << 22;
    struct Entry {
        std::vector<Ref> leaves;
        std::shared_ptr<const TextWords> words;
    };
    struct Hash {
        size_t operator()(const Shape::Key& key) const {
            uint64_t h = 1469598103934665603ull;
            for (uintptr_t t : key) h = (h ^ t) * 1099511628211ull;
            return static_cast<size_t>(h ^ (h >> 29));
        }
    };
    size_t bytes_ = 0;
    std::unordered_map<Shape::Key, Entry, Hash> map_;
};

ShapeCache& shapes() {
    static ShapeCache* cache = new ShapeCache();  // kept for the process
    return *cache;
}

bool entity_text(PyObject* card, std::string& out);

// The distinct content words of a card text (of an exact TurnContextCard);
// null with an error set. shape is scratch space, reused across cards.
std::shared_ptr<const TextWords> card_words(PyObject* card, CardText which, Shape& shape) {
    bool plain = shape.read(card, which, false);
    if (plain)
        if (auto hit = shapes().find(shape.key())) return hit;
    // Held while the text is built: allocations there may run finalizers.
    std::vector<Ref> held;
    if (plain && shape.read(card, which, true))
        for (PyObject* v : shape.leaves()) held.push_back(Ref::borrow(v));
    std::string text;
    if (!(which == CardText::searchable ? card_searchable_text(card, text) : entity_text(card, text))) return nullptr;
    auto words = word_sets().get(text);
    if (plain) {
        Shape after;  // remembered only when nothing changed the card meanwhile
        if (after.read(card, which, true) && after.key() == shape.key()) shapes().put(after, words);
    }
    return words;
}

// Overlap coefficient of two sets of distinct words.
double overlap_sets(const HashedWords& a, const HashedWords& b) {
    if (a.empty() || b.empty()) return 0.0;
    size_t common = 0;
    for (const auto& [h, w] : a) {
        auto it = std::lower_bound(b.begin(), b.end(), std::make_pair(h, std::string_view()));
        for (; it != b.end() && it->first == h; ++it)
            if (it->second == w) {
                ++common;
                break;
            }
    }
    return static_cast<double>(common) / static_cast<double>(std::max<size_t>(1, std::min(a.size(), b.size())));
}

// Overlap with whatever a card's own tokens() returned; false on error.
bool overlap_objects(const std::vector<std::string_view>& qtokens, PyObject* other, double& out) {
    Ref a(PySet_New(nullptr));
    if (!a) return false;
    for (std::string_view t : qtokens) {
        Ref s(aw::new_str(t));
        if (!s || PySet_Add(a.get(), s.get()) < 0) return false;
    }
    Ref b(PySet_New(other));
    if (!b) return false;
    Py_ssize_t na = PySet_GET_SIZE(a.get()), nb = PySet_GET_SIZE(b.get());
    if (na == 0 || nb == 0) {
        out = 0.0;
        return true;
    }
    Ref common(PyNumber_And(a.get(), b.get()));
    if (!common) return false;
    out = static_cast<double>(PySet_GET_SIZE(common.get())) / static_cast<double>(std::max<Py_ssize_t>(1, std::min(na, nb)));
    return true;
}

// The card's entities, topic keywords and metadata ids joined by blanks;
// each must be a list of texts.
bool entity_text(PyObject* card, std::string& out) {
    static const CardField fields[] = {CARD_ENTITIES, CARD_TOPIC_KEYWORDS, CARD_SELECTED_METADATA_IDS};
    Ref lists[3];
    for (int k = 0; k < 3; ++k) {
        lists[k] = Ref(card_field(card, fields[k]));
        if (!lists[k]) return false;
        if (!PyList_Check(lists[k].get())) {
            PyErr_Format(PyExc_TypeError, "card.%s must be a list, not %.200s", kCardFieldNames[fields[k]],
                         Py_TYPE(lists[k].get())->tp_name);
            return false;
        }
    }
    Py_ssize_t index = 0;
    for (const Ref& list : lists) {
        Ref items(PySequence_List(list.get()));
        if (!items) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i, ++index) {
            PyObject* item = PyList_GET_ITEM(items.get(), i);
            if (!PyUnicode_Check(item)) {
                PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", index,
                             Py_TYPE(item)->tp_name);
                return false;
            }
            if (index) out.push_back(' ');
            aw::append_str(out, item);
        }
    }
    return true;
}

// max(0.0, min(1.0, q)) as the host computes it.
PyObject* clamp_quality(PyObject* q) {
    if (PyFloat_CheckExact(q)) {
        double x = PyFloat_AS_DOUBLE(q);
        double m = x < 1.0 ? x : 1.0;
        return PyFloat_FromDouble(m > 0.0 ? m : 0.0);
    }
    Ref one(PyFloat_FromDouble(1.0)), zero(PyFloat_FromDouble(0.0));
    if (!one || !zero) return nullptr;
    int lt = PyObject_RichCompareBool(q, one.get(), Py_LT);
    if (lt < 0) return nullptr;
    PyObject* m = lt ? q : one.get();
    int gt = PyObject_RichCompareBool(m, zero.get(), Py_GT);
    if (gt < 0) return nullptr;
    return Py_NewRef(gt ? m : zero.get());
}

}  // namespace

PyObject* rank_candidates(PyObject* lens, PyObject* config, PyObject* question, PyObject* cards,
                          PyObject* explicit_turn_id, PyObject* artifact_ref, PyObject* active_turn_id,
                          PyObject* preferred) {
    Settings cfg(config);
    // 1. the message's content words
    std::string qtext, qbuf;
    std::vector<std::string_view> qtokens;
    if (question != Py_None && !plain_text_append(qtext, question)) return nullptr;
    aw::tokenize(qtext, &vocab().stopwords, qbuf, qtokens);
    std::vector<std::string_view> qwords(qtokens);
    distinct(qwords);
    const HashedWords qset = hashed(qwords);
    // 2. latest active turn
    Ref latest(run_stage(lens, STAGE_LATEST_ACTIVE_TURN_ID, {cards}, [&] { return latest_active_turn_id(cards); }));
    if (!latest) return nullptr;
    // 3. recency order, newest first (stable), and each card's rank
    // ours alone while card fields and stages run caller code
    Ref ordered(aw::private_list(cards));
    if (!ordered) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(ordered.get());
    std::vector<Ref> turn_ids;
    std::vector<std::pair<long long, Py_ssize_t>> keyed;
    turn_ids.reserve(static_cast<size_t>(n));
    keyed.reserve(static_cast<size_t>(n));
    bool native = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref id(card_field(PyList_GET_ITEM(ordered.get(), i), CARD_TURN_ID));
        if (!id) return nullptr;
        int overflow = 0;
        long long k = PyLong_CheckExact(id.get()) ? PyLong_AsLongLongAndOverflow(id.get(), &overflow) : 0;
        if (!PyLong_CheckExact(id.get()) || overflow) native = false;
        keyed.emplace_back(k, i);
        turn_ids.push_back(id);
    }
    std::vector<Py_ssize_t> rank(static_cast<size_t>(n));
    if (native) {
        std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        Ref sorted(aw::untracked(PyList_New(n)));
        if (!sorted) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(sorted.get(), i, Py_NewRef(PyList_GET_ITEM(ordered.get(), keyed[i].second)));
        ordered = sorted;
        for (Py_ssize_t i = n - 1; i >= 0; --i)  // equal ids share the last position of their run
            rank[i] = (i + 1 < n && keyed[i].first == keyed[i + 1].first) ? rank[i + 1] : i;
        std::vector<Ref> by_position;
        by_position.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) by_position.push_back(turn_ids[keyed[i].second]);
        turn_ids.swap(by_position);
    } else {
        if (!host_sort_desc(ordered.get(), "turn_id")) return nullptr;
        Ref positions(PyDict_New());
        if (!positions) return nullptr;
        turn_ids.clear();
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref id(card_field(PyList_GET_ITEM(ordered.get(), i), CARD_TURN_ID));
            Ref pos(id ? PyLong_FromSsize_t(i) : nullptr);
            if (!pos || PyDict_SetItem(positions.get(), id.get(), pos.get()) < 0) return nullptr;
            turn_ids.push_back(id);
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pos = PyDict_GetItemWithError(positions.get(), turn_ids[i].get());
            if (!pos) {
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, turn_ids[i].get());
                return nullptr;
            }
            rank[i] = PyLong_AsSsize_t(pos);
        }
    }
    const Py_ssize_t max_rank = std::max<Py_ssize_t>(n - 1, 1);

    std::string wanted_ref;
    bool have_ref = artifact_ref != Py_None;
    int prefer_task = PyObject_IsTrue(preferred);
    if (prefer_task < 0) return nullptr;

    Ref result(aw::untracked(PyList_New(n)));  // filled while stages run the caller's code
    if (!result) return nullptr;
    std::vector<std::pair<double, Py_ssize_t>> scores;
    bool float_scores = true;
    std::string text;
    Shape shape;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* card = PyList_GET_ITEM(ordered.get(), i);
        PyObject* turn_id = turn_ids[i].get();
        Score score;
        Ref reasons(PyList_New(0));
        if (!reasons) return nullptr;
        PyObject* rl = reasons.get();
        // a. explicit turn number
        if (explicit_turn_id != Py_None) {
            int eq = aw::py_compare(explicit_turn_id, turn_id, Py_EQ);
            if (eq < 0) return nullptr;
            if (eq) {
                text = "explicit turn reference: ";
                if (!plain_text_append(text, explicit_turn_id) || !score.add(cfg.get(CFG_EXPLICIT_REFERENCE_WEIGHT)) ||
                    !append_reason(rl, aw::new_str(text), true))
                    return nullptr;
            }
        }
        // b. artifact reference
        if (have_ref) {
            int match = own_stage(lens, STAGE_ARTIFACT_MATCHES);
            if (match > 0) match = artifact_matches(artifact_ref, card);
            else if (match == 0) match = stage_truth(lens, STAGE_ARTIFACT_MATCHES, {artifact_ref, card});
            if (match < 0) return nullptr;
            if (match && (!score.add(cfg.get(CFG_ARTIFACT_MATCH_WEIGHT)) ||
                          !append_reason(rl, formatted_reason("artifact reference match: ", artifact_ref), true)))
                return nullptr;
        }
        // c, d, e. active bonuses
        Ref active(card_field(card, CARD_IS_ACTIVE));
        int is_active = active ? PyObject_IsTrue(active.get()) : -1;
        if (is_active < 0) return nullptr;
        if (is_active && (!score.add(cfg.get(CFG_ACTIVE_CARD_BONUS)) || !append_reason(rl, KEY("active card"), false)))
            return nullptr;
        for (auto [other, reason] : {std::pair<PyObject*, const char*>{active_turn_id, "active turn id match"},
                                     std::pair<PyObject*, const char*>{latest.get(), "latest active turn"}}) {
            if (other == Py_None) continue;
            int eq = aw::py_compare(other, turn_id, Py_EQ);
            if (eq < 0) return nullptr;
            if (eq && (!score.add(cfg.get(CFG_ACTIVE_CARD_BONUS)) || !append_reason(rl, PyUnicode_FromString(reason), true)))
                return nullptr;
        }
        // f. recency
        double recency = 1.0 - static_cast<double>(rank[i]) / static_cast<double>(max_rank + 1);
        if (!score.add_product(recency, cfg.get(CFG_RECENCY_WEIGHT))) return nullptr;
        if (recency > 0.5 && !append_reason(rl, KEY("recent turn"), false)) return nullptr;
        // g. word overlap with the card's own text
        double keyword;
        const bool exact_card = Py_IS_TYPE(card, TurnContextCardType);
        if (exact_card) {
            auto words = card_words(card, CardText::searchable, shape);
            if (!words) return nullptr;
            keyword = overlap_sets(qset, words->words);
        } else {
            Ref own(PyObject_CallMethod(card, "tokens", nullptr));
            if (!own || !overlap_objects(qtokens, own.get(), keyword)) return nullptr;
        }
        if (keyword != 0.0) {
            text = "keyword overlap ";
            if (!score.add_product(keyword, cfg.get(CFG_KEYWORD_OVERLAP_WEIGHT)) || !append_fixed2(text, keyword) ||
                !append_reason(rl, aw::new_str(text), true))
                return nullptr;
        }
        // h. overlap with entities, topic keywords and metadata ids
        double entity;
        if (exact_card) {
            auto words = card_words(card, CardText::entities, shape);
            if (!words) return nullptr;
            entity = overlap_sets(qset, words->words);
        } else {
            text.clear();
            if (!entity_text(card, text)) return nullptr;
            entity = overlap_sets(qset, word_sets().get(text)->words);
        }
        if (entity != 0.0) {
            text = "entity/metadata overlap ";
            if (!score.add_product(entity, cfg.get(CFG_ENTITY_OVERLAP_WEIGHT)) || !append_fixed2(text, entity) ||
                !append_reason(rl, aw::new_str(text), true))
                return nullptr;
        }
        // i. task type
        if (prefer_task) {
            Ref task(card_field(card, CARD_TASK_TYPE));
            int eq = task ? aw::py_compare(preferred, task.get(), Py_EQ) : -1;
            if (eq < 0) return nullptr;
            if (eq && (!score.add(cfg.get(CFG_TASK_TYPE_MATCH_WEIGHT)) ||
                       !append_reason(rl, formatted_reason("task type match: ", preferred), true)))
                return nullptr;
        }
        // quality
        Ref quality(card_field(card, CARD_QUALITY_SCORE));
        Ref clamped(quality ? clamp_quality(quality.get()) : nullptr);
        if (!clamped || !score.mul(clamped.get())) return nullptr;
        Ref value(score.result());
        if (!value) return nullptr;
        if (PyFloat_CheckExact(value.get()) && !std::isnan(PyFloat_AS_DOUBLE(value.get())))
            scores.emplace_back(PyFloat_AS_DOUBLE(value.get()), i);
        else
            float_scores = false;
        PyObject* cand = aw::rec_new(ContextCandidateType, {Py_NewRef(turn_id), value.release(), reasons.release(),
                                                            Py_NewRef(card)});
        if (!cand) return nullptr;
        PyList_SET_ITEM(result.get(), i, cand);
    }
    // best first; equal scores keep the recency order
    if (!float_scores) return host_sort_desc(aw::tracked(result.get()), "score") ? result.release() : nullptr;
    std::stable_sort(scores.begin(), scores.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    Ref sorted(PyList_New(n));
    if (!sorted) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(sorted.get(), i, Py_NewRef(PyList_GET_ITEM(result.get(), scores[i].second)));
    return sorted.release();
}

namespace {

PyObject* score_of(PyObject* cand) { return field(cand, ContextCandidateType, CAND_SCORE, "score"); }

// a >= b, a < b with the host's comparison; exact floats natively.
int compare(PyObject* a, PyObject* b, int op) {
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        return op == Py_GE ? x >= y : x < y;
    }
    Ref r(PyObject_RichCompare(a, b, op));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

int truth(PyObject* v) { return v ? PyObject_IsTrue(v) : -1; }

}  // namespace

PyObject* choose_base(PyObject* lens, PyObject* config, PyObject* best, PyObject* second, PyObject* question,
                      PyObject* ambiguous_reference) {
    if (best == Py_None) Py_RETURN_NONE;
    Settings cfg(config);
    Ref score(score_of(best));
    PyObject* threshold = score ? cfg.get(CFG_FOLLOWUP_THRESHOLD) : nullptr;
    int above = threshold ? compare(score.get(), threshold, Py_GE) : -1;
    if (above < 0) return nullptr;
    if (above) {
        int ask = truth(cfg.get(CFG_ASK_CLARIFICATION_WHEN_AMBIGUOUS));
        if (ask < 0) return nullptr;
        if (ask && second != Py_None) {
            Ref b(score_of(best));
            Ref s(b ? score_of(second) : nullptr);
            if (!s) return nullptr;
            Ref gap(PyFloat_CheckExact(b.get()) && PyFloat_CheckExact(s.get())
                        ? PyFloat_FromDouble(PyFloat_AS_DOUBLE(b.get()) - PyFloat_AS_DOUBLE(s.get()))
                        : PyNumber_Subtract(b.get(), s.get()));
            PyObject* margin = gap ? cfg.get(CFG_CLARIFICATION_MARGIN) : nullptr;
            int close = margin ? compare(gap.get(), margin, Py_LT) : -1;
            if (close < 0) return nullptr;
            if (close) {
                int amb = truth(ambiguous_reference);
                if (amb < 0) return nullptr;
                if (amb) Py_RETURN_NONE;
            }
        }
        return Py_NewRef(best);
    }
    int prefer = truth(cfg.get(CFG_PREFER_LATEST_FOR_PRONOUN_FOLLOWUP));
    if (prefer <= 0) return prefer < 0 ? nullptr : Py_NewRef(Py_None);
    int pronoun = own_stage(lens, STAGE_HAS_PRONOUN_FOLLOWUP);
    if (pronoun > 0) {
        if (!require_str(question, "_has_pronoun_followup", "question")) return nullptr;
        MessageText m(question);
        pronoun = has_pronoun_followup(m);
    } else if (pronoun == 0) {
        pronoun = stage_truth(lens, STAGE_HAS_PRONOUN_FOLLOWUP, {question});
    }
    if (pronoun <= 0) return pronoun < 0 ? nullptr : Py_NewRef(Py_None);
    Ref again(score_of(best));
    Ref floor(again ? PyFloat_FromDouble(0.2) : nullptr);
    int enough = floor ? compare(again.get(), floor.get(), Py_GE) : -1;
    if (enough < 0) return nullptr;
    return Py_NewRef(enough ? best : Py_None);
}

namespace {


PyObject* py_rank(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"current_question", "cards", "explicit_turn_id", "explicit_artifact_ref",
                               "active_turn_id", "preferred_task_type", nullptr};
    PyObject* a[6] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOOOO:_rank_candidates", const_cast<char**>(kw), &a[0], &a[1],
                                     &a[2], &a[3], &a[4], &a[5]))
        return nullptr;
    for (int i = 0; i < 6; ++i)
        if (!a[i]) {
            PyErr_Format(PyExc_TypeError, "_rank_candidates() missing 1 required keyword-only argument: '%s'", kw[i]);
            return nullptr;
        }
    Ref config(PyObject_GetAttrString(self, "config"));
    return config ? rank_candidates(self, config.get(), a[0], a[1], a[2], a[3], a[4], a[5]) : nullptr;
}

PyObject* py_choose(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"best", "second", "current_question", "ambiguous_reference", nullptr};
    PyObject *best, *second, *question, *ambiguous;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:_choose_base_for_contextual_request",
                                     const_cast<char**>(kw), &best, &second, &question, &ambiguous))
        return nullptr;
    Ref config(PyObject_GetAttrString(self, "config"));
    return config ? choose_base(self, config.get(), best, second, question, ambiguous) : nullptr;
}

}  // namespace

PyMethodDef lens_rank_methods[] = {
    {"_rank_candidates", AW_KW(py_rank),
     "_rank_candidates($self, /, *, current_question, cards, explicit_turn_id, explicit_artifact_ref, "
     "active_turn_id, preferred_task_type)\n--\n\nThe cards scored as possible bases, best first, with reasons."},
    {"_choose_base_for_contextual_request", AW_KW(py_choose),
     "_choose_base_for_contextual_request($self, /, best, second, current_question, ambiguous_reference)\n--\n\n"
     "The candidate to build on, or None when the user must be asked."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace tl

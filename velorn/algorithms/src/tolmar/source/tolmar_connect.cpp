// tolmar_connect: joins every unlabelled component of a nearest-neighbour
// graph to the labelled part, appending edge pairs with their weights to the
// caller's two graph containers.
//
// Stage 1 attaches each unlabelled component whole through the first node
// whose row holds a node labelled at the start. Stage 2 then runs passes that
// attach one unreached node per component to any node already reached, until
// every node is reached; a pass that attaches nothing is an error.
//
// Every container call, item assignment and table indexing may run arbitrary
// Python code that changes the component lists or the arrays, so list bounds
// are checked at each access, entries used across calls are owned, and row
// data is taken only after the last call out.
#include "ref.hpp"
#include "convert.hpp"
#include "buffer.hpp"
#include "ndarray.hpp"
#include "cache_hint.hpp"
#include "function.hpp"
#include "module.hpp"
#include "graph_container.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

using pyext::Ref;

namespace {

using pyext::cache_hint;

constexpr const char* kModuleName = "velorn.algorithms.src.tolmar.binaries.tolmar_connect";
constexpr const char* kSourceFile = "velorn/algorithms/src/tolmar/source/tolmar_connect.cpp";

constexpr const char* kDoc =
    "connect_unlabeled(ndarray knn_connections, ndarray knn_weights, list components, "
    "ndarray vertix_component_label, connections, weights) -> tuple\n"
    "\n"
    "    Connects unlabeled graph components to labeled components by iteratively \n"
    "    finding nearest neighbors and adding connections until all components \n"
    "    are connected.\n"
    "\n"
    "    Parameters:\n"
    "    --------------\n"
    "        knn_connections (np.ndarray): \n"
    "            2D array of nearest neighbor connections for each node.\n"
    "        knn_weights (np.ndarray): \n"
    "            2D array of edge weights for each nearest neighbor connection.\n"
    "        components (list): \n"
    "            List of components, where each component is a tuple (list of nodes, bool labeled).\n"
    "        vertix_component_label (np.ndarray[np.uint8_t]): \n"
    "            1D array indicating whether each node is part of a labeled component.\n"
    "        connections: (GraphWrapper)\n"
    "            A data structure to store graph connections.\n"
    "        weights: (GraphWrapper)\n"
    "            A data structure to store the weights of graph edges.\n"
    "    ";

PyObject* name_copy = nullptr;  // interned "copy"

void raise_list_index() { PyErr_SetString(PyExc_IndexError, "list index out of range"); }

// list[position], owned, with the bounds checked against the list as it is now.
Ref list_item(PyObject* list, Py_ssize_t position) {
    if (position >= PyList_GET_SIZE(list)) {
        raise_list_index();
        return {};
    }
    return Ref::borrow(PyList_GET_ITEM(list, position));
}

// pair[index], as the pair's own indexing gives it; tuples are read directly.
Ref pair_entry(PyObject* pair, Py_ssize_t index) {
    if (PyTuple_CheckExact(pair) && index < PyTuple_GET_SIZE(pair))
        return Ref::borrow(PyTuple_GET_ITEM(pair, index));
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    if (!key) return {};
    return Ref::steal(PyObject_GetItem(pair, key.get()));
}

// Row `node` of a 2-D table of T, as `table[node]` gives it. An exact ndarray
// of T that has the row is read in place, creating nothing and running no
// Python code; anything else goes through the table's own indexing, so its
// errors (a missing row, a wrong row type) are the table's.
template <class T>
class TableRow {
public:
    TableRow(PyObject* table, const pyext::ElemType& type) : table_(table), type_(type) {}

    bool take(int32_t node) { return take_in_place(node) || take_indexed(node); }

    // Reads the row again after Python code may have run: an indexed row from
    // its own (owned) array, an in-place row from the table as it is now.
    bool retake(int32_t node) {
        if (!in_place_) {
            if (!indexed_.reload()) return false;
            view_ = indexed_.view();
            return true;
        }
        return take(node);
    }

    bool in_place() const { return in_place_; }
    const pyext::View1D<T>& view() const { return view_; }

    // Asks the cache for row `node` of a plain table ahead of its use.
    void prefetch(int32_t node) const {
        if (!PyArray_CheckExact(table_)) return;
        PyArrayObject* a = reinterpret_cast<PyArrayObject*>(table_);
        if (PyArray_NDIM(a) != 2 || node >= PyArray_DIM(a, 0)) return;
        const char* first = PyArray_BYTES(a) + static_cast<Py_ssize_t>(node) * PyArray_STRIDE(a, 0);
        pyext::cache_hint_range(first, first + (PyArray_DIM(a, 1) - 1) * PyArray_STRIDE(a, 1));
    }

private:
    bool take_in_place(int32_t node) {
        if (!PyArray_CheckExact(table_)) return false;
        PyArrayObject* a = reinterpret_cast<PyArrayObject*>(table_);
        if (PyArray_NDIM(a) != 2 || !has_row_type(a) || node >= PyArray_DIM(a, 0)) return false;
        indexed_.clear();
        in_place_ = true;
        view_ = pyext::View1D<T>{PyArray_BYTES(a) + static_cast<Py_ssize_t>(node) * PyArray_STRIDE(a, 0),
                                 PyArray_DIM(a, 1), PyArray_STRIDE(a, 1)};
        return true;
    }

    bool take_indexed(int32_t node) {
        in_place_ = false;
        view_ = {};
        Ref index = Ref::steal(PyLong_FromLong(node));
        if (!index) return false;
        if (!indexed_.load(Ref::steal(PyObject_GetItem(table_, index.get())), type_)) return false;
        view_ = indexed_.view();
        return true;
    }

    // Whether the table's elements are T. Python code may give the table
    // another dtype at any call out, so this is asked at every row; the last
    // dtype found to match is held and recognised by identity.
    bool has_row_type(PyArrayObject* a) {
        PyArray_Descr* descr = PyArray_DESCR(a);
        if (reinterpret_cast<PyObject*>(descr) == matched_descr_.get()) return true;
        if (!pyext::dtype_matches(descr, type_)) return false;
        matched_descr_ = Ref::borrow(reinterpret_cast<PyObject*>(descr));
        return true;
    }

    PyObject* table_;  // an argument of the call, alive throughout
    const pyext::ElemType& type_;
    pyext::ArrayRow<T> indexed_;
    pyext::View1D<T> view_;
    bool in_place_ = false;
    Ref matched_descr_;
};

// The leading entries of one component's node list whose nodes are known to
// be reached, held as the very int objects the list had. Reached nodes stay
// reached, so a later pass may skip these entries once it has checked that
// the list still starts with the same objects: a pointer comparison per entry
// instead of reading every int again. Holding references keeps an object's
// address from being reused by another while it is remembered.
class ReachedPrefix {
public:
    ReachedPrefix() = default;
    ReachedPrefix(const ReachedPrefix&) = delete;
    ReachedPrefix& operator=(const ReachedPrefix&) = delete;
    ReachedPrefix(ReachedPrefix&& other) noexcept : next_node(other.next_node), items_(std::move(other.items_)) {}
    ~ReachedPrefix() { truncate(0); }

    // How many leading entries of `list` can be skipped now.
    Py_ssize_t usable_length(PyObject* list) {
        const Py_ssize_t length = std::min<Py_ssize_t>(items_.size(), PyList_GET_SIZE(list));
        PyObject** entries = reinterpret_cast<PyListObject*>(list)->ob_item;
        Py_ssize_t same = 0;
        while (same < length && entries[same] == items_[same]) ++same;
        truncate(same);
        return same;
    }

    Py_ssize_t length() const { return static_cast<Py_ssize_t>(items_.size()); }
    PyObject* const* data() const { return items_.data(); }

    // Remembers `entry`, the next list entry, an int whose node is reached.
    void extend(PyObject* entry) { items_.push_back(Py_NewRef(entry)); }

    // The node id that followed the prefix when the component was last left,
    // or -1: where the next pass will likely look first. A hint only.
    int32_t next_node = -1;

private:
    void truncate(size_t length) {
        while (items_.size() > length) {
            Py_DECREF(items_.back());
            items_.pop_back();
        }
    }

    std::vector<PyObject*> items_;
};

class Connector {
public:
    Connector(PyObject* const* args)
        : components_(args[2]), component_label_(args[3]), connections_(args[4]), weights_(args[5]),
          ids_row_(args[0], graph::kNeighbourIds), weights_row_(args[1], graph::kWeights) {}

    PyObject* run() {
        if (component_label_ != Py_None &&
            !label_buffer_.acquire(component_label_, 0, 1, pyext::kUInt8))
            return nullptr;
        labelled_ = label_buffer_.view1d<uint8_t>();
        num_nodes_ = labelled_.size;
        if (!make_working_copy()) return nullptr;
        components_length_ = PyObject_Size(components_);
        if (components_length_ < 0) return nullptr;
        // Skipping reached entries is sound only while the flags can be
        // trusted never to be cleared: a plain array's copy is private to
        // this call.
        skip_reached_ = PyArray_CheckExact(component_label_) && PyArray_CheckExact(success_.get());
        if (skip_reached_) prefixes_.resize(static_cast<size_t>(components_length_));

        if (!attach_directly() || !attach_iteratively()) return nullptr;
        return PyTuple_Pack(2, connections_, weights_);
    }

private:
    // vertix_component_label.copy(): the reached flags, held as a buffer for
    // the whole call so that its memory stays put under item assignments.
    bool make_working_copy() {
        Ref copy = Ref::steal(PyObject_CallMethodNoArgs(component_label_, name_copy));
        if (!copy) return false;
        if (!pyext::is_ndarray(copy.get())) {
            pyext::raise_cannot_convert(copy.get());
            return false;
        }
        if (!success_buffer_.acquire(copy.get(), 0, 1, pyext::kUInt8)) return false;
        reached_ = success_buffer_.view1d<uint8_t>();
        if (reached_.size != num_nodes_) {
            PyErr_Format(PyExc_ValueError,
                         "copy of vertix_component_label has %zd entries, expected %zd",
                         reached_.size, num_nodes_);
            return false;
        }
        success_ = std::move(copy);
        return true;
    }

    // The truth value of entry 1 of components[c_i]: 1 labelled, 0 not, -1 error.
    int component_is_labelled(Py_ssize_t c_i) {
        Ref pair = list_item(components_, c_i);
        if (!pair) return -1;
        Ref flag = pair_entry(pair.get(), 1);
        if (!flag) return -1;
        return PyObject_IsTrue(flag.get());
    }

    // Entry 0 of components[c_i]: the component's node list, exactly a list.
    Ref component_nodes(Py_ssize_t c_i) {
        Ref pair = list_item(components_, c_i);
        if (!pair) return {};
        Ref nodes = pair_entry(pair.get(), 0);
        if (!nodes) return {};
        if (nodes.get() == Py_None) {
            PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
            return {};
        }
        if (!PyList_CheckExact(nodes.get())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list",
                         Py_TYPE(nodes.get())->tp_name);
            return {};
        }
        return nodes;
    }

    // Sets *nodes to the node list of components[c_i] when the component is
    // unlabelled, and leaves it empty for a labelled one; false on error.
    bool unlabelled_component(Py_ssize_t c_i, Ref* nodes) {
        int labelled = component_is_labelled(c_i);
        if (labelled < 0) return false;
        *nodes = labelled ? Ref() : component_nodes(c_i);
        return labelled || *nodes;
    }

    // component[position] as a node id in 0 .. n-1. Small plain ints, the
    // usual entries, are read inline: passes re-read every list. Such an int
    // is also handed out in *plain (owned), to serve as the node's argument
    // in container calls instead of a new int of the same value.
    bool read_node(PyObject* component, Py_ssize_t position, int32_t* node, Ref* plain = nullptr) {
        if (position >= PyList_GET_SIZE(component)) {
            raise_list_index();
            return false;
        }
        PyObject* entry = PyList_GET_ITEM(component, position);
        long long id;
        const bool is_plain =
            PyLong_CheckExact(entry) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(entry));
        if (is_plain) {
            id = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(entry));
            if (id < INT32_MIN || id > INT32_MAX) {
                PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
                return false;
            }
        } else {
            // Its integer conversion may run Python code that drops it from the list.
            Ref held = Ref::borrow(entry);
            int32_t converted;
            if (!pyext::to_int32(held.get(), &converted)) return false;
            id = converted;
        }
        if (id < 0 || id >= num_nodes_) {
            PyErr_Format(PyExc_IndexError, "component lists node id %lld outside 0 .. %zd", id,
                         num_nodes_ - 1);
            return false;
        }
        *node = static_cast<int32_t>(id);
        if (plain) *plain = is_plain ? Ref::borrow(entry) : Ref();
        return true;
    }

    // The first position of the node's neighbour row whose neighbour has its
    // flag set (labelled or reached), kNone when there is none, or kFailed
    // with IndexError for an id outside 0 .. n-1 (checked on all 64 bits,
    // before it is used). Ids after the chosen position are not read.
    static constexpr Py_ssize_t kNone = -1;
    static constexpr Py_ssize_t kFailed = -2;

    Py_ssize_t first_flagged(int32_t node, const pyext::View1D<uint8_t>& flags) const {
        const pyext::View1D<int64_t>& ids = ids_row_.view();
        if (ids.unit_stride() && flags.unit_stride())
            return first_flagged_in<true>(node, ids, flags);
        return first_flagged_in<false>(node, ids, flags);
    }

    template <bool kUnitStride>
    Py_ssize_t first_flagged_in(int32_t node, const pyext::View1D<int64_t>& ids,
                                const pyext::View1D<uint8_t>& flags) const {
        const Py_ssize_t id_stride = kUnitStride ? Py_ssize_t{sizeof(int64_t)} : ids.stride;
        const Py_ssize_t flag_stride = kUnitStride ? 1 : flags.stride;
        for (Py_ssize_t idx = 0; idx < ids.size; ++idx) {
            int64_t id;
            std::memcpy(&id, ids.data + idx * id_stride, sizeof(id));
            if (!graph::is_node_id(id, num_nodes_)) {
                graph::raise_neighbour_out_of_range(node, id, num_nodes_);
                return kFailed;
            }
            if (flags.data[id * flag_stride]) return idx;
        }
        return kNone;
    }

    // knn_connections[node] and knn_weights[node], in that order, with both
    // views valid on return.
    bool read_rows(int32_t node) {
        if (!ids_row_.take(node)) return false;
        if (!weights_row_.take(node)) return false;
        if (!weights_row_.in_place()) {
            // Indexing the weights table ran Python code that may have changed
            // the neighbour row or its table.
            if (!ids_row_.retake(node)) return false;
            // An indexed weights row reloads without running Python code.
            if (!ids_row_.in_place() && !weights_row_.retake(node)) return false;
        }
        return graph::check_row_lengths(node, ids_row_.view().size, weights_row_.view().size);
    }

    // Adds node -> neighbour and neighbour -> node where missing, both with
    // `weight`. `node_object`, when given, is a plain int equal to node.
    bool insert_edge_pair(int32_t node, PyObject* node_object, int32_t neighbour, float weight) {
        Ref a = node_object ? Ref::borrow(node_object) : Ref::steal(PyLong_FromLong(node));
        Ref b = Ref::steal(PyLong_FromLong(neighbour));
        Ref w = Ref::steal(PyFloat_FromDouble(static_cast<double>(weight)));
        if (!a || !b || !w) return false;
        return insert_edge(a.get(), b.get(), w.get()) && insert_edge(b.get(), a.get(), w.get());
    }

    bool insert_edge(PyObject* from, PyObject* to, PyObject* weight) {
        int present = graph::contains(connections_, from, to);
        if (present != 0) return present > 0;
        return graph::append(connections_, from, to) && graph::append(weights_, from, weight);
    }

    // vertix_component_success[index] = True with a component list's entry
    // as the index. A plain int is a node id and must lie in 0 .. n-1; any
    // other object (a NumPy integer, a bool, a float) goes through the array's
    // own item assignment, with NumPy's own result or error.
    bool mark(PyObject* index) {
        if (!PyLong_CheckExact(index)) return PyObject_SetItem(success_.get(), index, Py_True) == 0;
        int overflow = 0;
        long long id = PyLong_AsLongLongAndOverflow(index, &overflow);
        if (id == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || id < 0 || id >= num_nodes_) {
            PyErr_Format(PyExc_IndexError, "component lists node id %R outside 0 .. %zd", index,
                         num_nodes_ - 1);
            return false;
        }
        return mark_node(static_cast<int32_t>(id), index);
    }

    // Marks a node id known to lie in 0 .. n-1; `index` is its int object when
    // the caller has one at hand.
    bool mark_node(int32_t node, PyObject* index = nullptr) {
        // A plain writable array is written directly: what its item assignment would do.
        if (PyArray_CheckExact(success_.get()) &&
            PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject*>(success_.get()))) {
            reached_.set(node, 1);
            return true;
        }
        Ref made;
        if (!index) {
            made = Ref::steal(PyLong_FromLong(node));
            if (!made) return false;
            index = made.get();
        }
        return PyObject_SetItem(success_.get(), index, Py_True) == 0;
    }

    // Every entry of `component`, as the index object it is.
    bool mark_component(PyObject* component, Py_ssize_t c_length) {
        for (Py_ssize_t cc_i = 0; cc_i < c_length; ++cc_i) {
            Ref entry = list_item(component, cc_i);
            if (!entry || !mark(entry.get())) return false;
        }
        return true;
    }

    bool all_reached() const {
        if (reached_.size == 0) return true;
        if (reached_.unit_stride())
            return std::memchr(reached_.data, 0, static_cast<size_t>(reached_.size)) == nullptr;
        for (Py_ssize_t i = 0; i < reached_.size; ++i)
            if (reached_[i] == 0) return false;
        return true;
    }

    // Stage 1: one pass. The first neighbour, in row order, that was labelled
    // at the start, of the first node, in list order, that has one, attaches
    // the component, and the whole component becomes reached.
    bool attach_directly() {
        for (Py_ssize_t c_i = 0; c_i < components_length_; ++c_i) {
            if (skip_reached_) prefetch_ahead(c_i);
            Ref component;
            if (!unlabelled_component(c_i, &component)) return false;
            if (!component) continue;
            const Py_ssize_t c_length = PyList_GET_SIZE(component.get());
            for (Py_ssize_t n_i = 0; n_i < c_length; ++n_i) {
                // The first row came with the look-ahead over components.
                prefetch_rows_of_entry(component.get(), n_i + 1);
                prefetch_rows_of_entry(component.get(), n_i + kAhead);
                int32_t node;
                Ref node_object;
                if (!read_node(component.get(), n_i, &node, &node_object) || !read_rows(node))
                    return false;
                const Py_ssize_t idx = first_flagged(node, labelled_);
                if (idx == kFailed) return false;
                if (idx == kNone) continue;
                const int32_t target = static_cast<int32_t>(ids_row_.view()[idx]);
                if (!insert_edge_pair(node, node_object.get(), target, weights_row_.view()[idx]) ||
                    !mark_component(component.get(), c_length))
                    return false;
                break;
            }
        }
        return true;
    }

    // Both stages visit every unlabelled component and mostly wait on
    // memory: the pair, its node list, the list's entries, the first
    // unreached entry's int, that node's rows. While component c_i is worked
    // on, the memory of the components a few places ahead is requested, each
    // step reading only what the step before asked for kAhead components
    // earlier. Only cache hints: every object read here is alive at that
    // moment, and nothing read decides anything.
    void prefetch_ahead(Py_ssize_t c_i) const {
        // The list may have grown since its length was read, but prefixes_
        // has one entry per component of that length only.
        const Py_ssize_t size = std::min(PyList_GET_SIZE(components_), components_length_);
        if (c_i + 5 * kAhead < size) cache_hint(PyList_GET_ITEM(components_, c_i + 5 * kAhead));
        if (PyObject* nodes = nodes_hint(c_i + 4 * kAhead, size)) {
            cache_hint(nodes);
            const ReachedPrefix& prefix = prefixes_[c_i + 4 * kAhead];
            if (prefix.length() > 0)
                pyext::cache_hint_range(prefix.data(), prefix.data() + (prefix.length() - 1));
        }
        if (PyListObject* nodes = list_hint(c_i + 3 * kAhead, size)) {
            // The remembered entries, compared before use, up to the next one.
            const Py_ssize_t next = std::min(prefixes_[c_i + 3 * kAhead].length(), Py_SIZE(nodes) - 1);
            if (next >= 0) pyext::cache_hint_range(nodes->ob_item, nodes->ob_item + next);
        }
        if (PyListObject* nodes = list_hint(c_i + 2 * kAhead, size)) {
            const Py_ssize_t next = prefixes_[c_i + 2 * kAhead].length();
            if (next < Py_SIZE(nodes)) cache_hint(nodes->ob_item[next]);
        }
        if (c_i + kAhead >= size) return;
        const ReachedPrefix& prefix = prefixes_[c_i + kAhead];
        if (prefix.next_node >= 0) {
            prefetch_rows(prefix.next_node);
        } else if (PyListObject* nodes = list_hint(c_i + kAhead, size)) {
            prefetch_rows_of_entry(reinterpret_cast<PyObject*>(nodes), prefix.length());
        }
    }

    // The value of the plain int at `position` of a node list, else -1.
    static int32_t node_hint(PyObject* nodes, Py_ssize_t position) {
        if (position >= PyList_GET_SIZE(nodes)) return -1;
        PyObject* entry = PyList_GET_ITEM(nodes, position);
        if (!PyLong_CheckExact(entry) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(entry)))
            return -1;
        const Py_ssize_t node = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(entry));
        return node >= 0 && node <= INT32_MAX ? static_cast<int32_t>(node) : -1;
    }

    // How many places ahead each step of the look-ahead works: far enough
    // for a memory access to complete while the components between are done.
    static constexpr Py_ssize_t kAhead = 6;

    // Asks the cache for the rows of the node at `position` of a node list.
    void prefetch_rows_of_entry(PyObject* nodes, Py_ssize_t position) const {
        if (PyList_CheckExact(nodes)) prefetch_rows(node_hint(nodes, position));
    }

    // Asks the cache for both rows of `node`, when it names a node.
    void prefetch_rows(int32_t node) const {
        if (node < 0 || node >= num_nodes_) return;
        ids_row_.prefetch(node);
        weights_row_.prefetch(node);
    }

    // The node list object of components[c_i] when it is a plain pair, else null.
    PyObject* nodes_hint(Py_ssize_t c_i, Py_ssize_t size) const {
        if (c_i >= size) return nullptr;
        PyObject* pair = PyList_GET_ITEM(components_, c_i);
        if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) < 1) return nullptr;
        return PyTuple_GET_ITEM(pair, 0);
    }

    // The same when it is a plain list.
    PyListObject* list_hint(Py_ssize_t c_i, Py_ssize_t size) const {
        PyObject* nodes = nodes_hint(c_i, size);
        return nodes && PyList_CheckExact(nodes) ? reinterpret_cast<PyListObject*>(nodes) : nullptr;
    }

    // Stage 2: passes until every node is reached. A pass attaches at most one
    // node per unlabelled component, to the first reached entry of its row;
    // once any node of the pass is attached, later components are examined
    // only up to their first unreached node. An attached node becomes reached
    // right after its component, before the next one is examined.
    bool attach_iteratively() {
        while (!all_reached()) {
            bool progress = false;
            for (Py_ssize_t c_i = 0; c_i < components_length_; ++c_i) {
                if (skip_reached_) prefetch_ahead(c_i);
                Ref component;
                if (!unlabelled_component(c_i, &component)) return false;
                if (!component) continue;
                const Py_ssize_t c_length = PyList_GET_SIZE(component.get());
                ReachedPrefix* prefix = skip_reached_ ? &prefixes_[c_i] : nullptr;
                int32_t attached = -1;
                Ref attached_entry;  // its int object, when it extends the prefix
                for (Py_ssize_t n_i = prefix ? prefix->usable_length(component.get()) : 0;
                     n_i < c_length; ++n_i) {
                    int32_t node;
                    Ref node_object;
                    if (!read_node(component.get(), n_i, &node, &node_object)) return false;
                    // A plain int converts without running Python code, so it
                    // is still the list's entry at n_i; anything else may have
                    // changed the list while converting.
                    const bool extends_prefix = prefix && prefix->length() == n_i && node_object;
                    if (reached_[node]) {
                        if (extends_prefix) prefix->extend(node_object.get());
                        continue;
                    }
                    if (!read_rows(node)) return false;
                    const Py_ssize_t idx = first_flagged(node, reached_);
                    if (idx == kFailed) return false;
                    if (idx != kNone) {
                        const int32_t neighbour = static_cast<int32_t>(ids_row_.view()[idx]);
                        // The next entry's int, read once the calls below have run.
                        if (prefix && n_i + 1 < PyList_GET_SIZE(component.get()))
                            cache_hint(PyList_GET_ITEM(component.get(), n_i + 1));
                        if (!insert_edge_pair(node, node_object.get(), neighbour, weights_row_.view()[idx]))
                            return false;
                        attached = node;
                        if (extends_prefix) attached_entry = std::move(node_object);
                        progress = true;
                        break;
                    }
                    if (progress) break;
                }
                if (attached >= 0) {
                    if (!mark_node(attached)) return false;
                    // The attached node is reached now: the next pass, and the
                    // look-ahead before it, start after it.
                    if (attached_entry) {
                        prefix->extend(attached_entry.get());
                        prefix->next_node = node_hint(component.get(), prefix->length());
                    }
                }
            }
            if (!progress) {
                PyErr_SetString(PyExc_SystemError, "NO PROGRESS :)");
                return false;
            }
        }
        return true;
    }

    PyObject* const components_;
    PyObject* const component_label_;
    PyObject* const connections_;
    PyObject* const weights_;

    pyext::Buffer label_buffer_;
    pyext::View1D<uint8_t> labelled_;  // the flags as given: labelled at the start
    Py_ssize_t num_nodes_ = 0;
    Ref success_;                      // the working copy
    pyext::Buffer success_buffer_;
    pyext::View1D<uint8_t> reached_;   // its flags: reached so far
    Py_ssize_t components_length_ = 0;
    TableRow<int64_t> ids_row_;
    TableRow<float> weights_row_;
    bool skip_reached_ = false;
    std::vector<ReachedPrefix> prefixes_;  // per component, for stage 2
};

PyObject* connect_unlabeled(pyext::Call& call, PyObject* const* args) {
    if (!pyext::check_arg_type(call, args[0], &PyArray_Type, false, "knn_connections", "numpy.ndarray") ||
        !pyext::check_arg_type(call, args[1], &PyArray_Type, false, "knn_weights", "numpy.ndarray") ||
        !pyext::check_arg_type(call, args[2], &PyList_Type, true, "components", "list") ||
        !pyext::check_arg_type(call, args[3], &PyArray_Type, false, "vertix_component_label",
                               "numpy.ndarray"))
        return nullptr;
    // Held from before the algorithm starts until it returns or fails.
    pyext::Buffer label_buffer;
    if (args[3] != Py_None && !label_buffer.acquire(args[3], 0, 1, pyext::kUInt8)) return nullptr;
    return Connector(args).run();
}

const char* const kParams[] = {"knn_connections", "knn_weights", "components",
                               "vertix_component_label", "connections", "weights"};

const pyext::FunctionSpec kFunction = {
    "connect_unlabeled", kModuleName, kDoc, kSourceFile, __LINE__,
    kParams, 6, 6, connect_unlabeled,
};

int prepare(PyObject*) {
    name_copy = pyext::intern("copy");
    return name_copy ? graph::intern_method_names() : -1;
}

const pyext::ModuleSpec kModule = {"tolmar_connect", kModuleName, kSourceFile, &kFunction, prepare,
                                   pyext::no_defaults};

}  // namespace

PyMODINIT_FUNC PyInit_tolmar_connect() {
    return PyModuleDef_Init(&pyext::ModuleDefinition<kModule>::def);
}

// tolmar_knn: the estimators' label propagation over a graph's rows, of any
// lengths (CSR: row offsets, neighbour ids, vote weights). Each sample
// without a label takes the label whose entries in its row weigh most, all
// samples of a sweep at once from the labels of the sweep before, so that
// the outcome depends on the graph and the labels, never on how the samples
// are numbered; a label given may change in later sweeps until none does.
// The samples labelled beforehand keep theirs.
#include "ref.hpp"
#include "convert.hpp"
#include "buffer.hpp"
#include "ndarray.hpp"
#include "function.hpp"
#include "module.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

constexpr const char* kModuleName = "velorn.algorithms.src.tolmar.binaries.tolmar_knn";

constexpr const char* kDoc =
    "propagate_rows(indptr, indices, weights, labels, max_iterations, tolerance) -> (sweeps, converged)\n"
    "\n"
    "    Label propagation over the rows of a graph into `labels` (a writable\n"
    "    1-D int32 ndarray, -1 for unlabelled), written once the sweeps are\n"
    "    done. Row i holds the entries indptr[i] .. indptr[i + 1] - 1 of\n"
    "    `indices` (neighbour ids) and `weights` (each one's vote, not negative;\n"
    "    indptr and indices int64, weights float64, all 1-D). In a sweep every\n"
    "    unlabelled sample whose row holds a labelled entry takes the label of\n"
    "    largest summed weight (the lowest label among equals), from the labels\n"
    "    of the sweep before; later sweeps visit only the samples whose row\n"
    "    holds one that changed. The samples labelled beforehand keep their\n"
    "    label. Sweeps stop when one changes nothing, when one labels no new\n"
    "    sample and changes at most `tolerance` times the unlabelled samples'\n"
    "    number, or when one only undoes the changes of the one before, which\n"
    "    changed as many (converged in each case), or after `max_iterations`\n"
    "    sweeps (not converged). Returns the sweeps run and whether they\n"
    "    converged.\n";

[[gnu::cold]] bool out_of_range(Py_ssize_t sample, int64_t id, Py_ssize_t num_samples) {
    PyErr_Format(PyExc_IndexError, "sample %zd has neighbour id %lld outside 0 .. %zd", sample,
                 static_cast<long long>(id), num_samples - 1);
    return false;
}

// A 1-D ndarray of the NumPy type `type`, in native byte order (any stride
// and alignment); the error names `what`.
template <class T>
bool vector_argument(PyObject* value, const char* what, int type, bool writable, pyext::View1D<T>* view) {
    if (!pyext::is_ndarray(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a 1-D ndarray", what);
        return false;
    }
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(value);
    if (PyArray_NDIM(a) != 1 || PyArray_TYPE(a) != type || !PyArray_ISNBO(PyArray_DESCR(a)->byteorder) ||
        (writable && !PyArray_ISWRITEABLE(a))) {
        PyErr_Format(PyExc_TypeError, "%s must be a%s 1-D %s ndarray", what, writable ? " writable" : "",
                     type == NPY_INT64 ? "int64" : type == NPY_INT32 ? "int32" : "float64");
        return false;
    }
    *view = {static_cast<char*>(PyArray_DATA(a)), PyArray_DIM(a, 0), PyArray_STRIDE(a, 0)};
    return true;
}

// The sweeps, on labels of their own (each label's rank among the distinct
// labels, so that scores fit a table as long as the labels are few), written
// back to the caller's array only once all are done. Ranks are read at
// random, one per entry: a byte each while the labels are few, so that at a
// million samples they stay in the caches.
template <class Rank>
class RowSweeps {
    static constexpr Rank kNone = std::numeric_limits<Rank>::max();

public:
    RowSweeps(const pyext::View1D<int64_t>& indices, const pyext::View1D<double>& weights,
              std::vector<int64_t> offsets, std::vector<int32_t> classes, const pyext::View1D<int32_t>& labels)
        : indices_(indices), weights_(weights), offsets_(std::move(offsets)), num_samples_(labels.size),
          classes_(std::move(classes)) {
        ranks_.resize(static_cast<size_t>(num_samples_));
        for (Py_ssize_t i = 0; i < labels.size; ++i) {
            const int32_t label = labels[i];
            ranks_[static_cast<size_t>(i)] =
                label == -1 ? kNone
                            : static_cast<Rank>(std::lower_bound(classes_.begin(), classes_.end(), label) -
                                                classes_.begin());
        }
        scores_.assign(classes_.size(), 0.0);
        seen_.assign(classes_.size(), 0);
    }

    // Checks every id and builds, for each sample, the unlabelled samples
    // whose rows hold it: they are the ones to visit after it changes.
    bool index_rows() {
        std::vector<int64_t> counts(static_cast<size_t>(num_samples_) + 1, 0);
        for (Py_ssize_t i = 0; i < num_samples_; ++i) {
            if (ranks_[static_cast<size_t>(i)] != kNone) continue;
            free_.push_back(static_cast<uint32_t>(i));
            for (int64_t e = offsets_[static_cast<size_t>(i)]; e < offsets_[static_cast<size_t>(i) + 1]; ++e) {
                const int64_t id = indices_[e];
                if (static_cast<uint64_t>(id) >= static_cast<uint64_t>(num_samples_))
                    return out_of_range(i, id, num_samples_);
                ++counts[static_cast<size_t>(id) + 1];
            }
        }
        for (size_t v = 1; v < counts.size(); ++v) counts[v] += counts[v - 1];
        readers_.resize(static_cast<size_t>(counts.back()));
        std::vector<int64_t> next(counts.begin(), counts.end() - 1);
        for (const uint32_t i : free_)
            for (int64_t e = offsets_[i]; e < offsets_[i + 1]; ++e)
                readers_[static_cast<size_t>(next[static_cast<size_t>(indices_[e])]++)] = i;
        reader_offsets_ = std::move(counts);
        return true;
    }

    // Sweeps until one changes nothing, or labels no new sample and changes
    // at most `tolerance` of the unlabelled ones, or `max_iterations` have
    // run; false with an exception for a bad id or a signal.
    bool run(uint64_t max_iterations, double tolerance, uint64_t* sweeps, bool* converged) {
        *sweeps = 0;
        *converged = true;
        std::vector<uint32_t> visit(free_);
        std::vector<uint8_t> queued(static_cast<size_t>(num_samples_), 0);
        std::vector<std::pair<uint32_t, Rank>> changes;
        const double revisions_allowed = tolerance * static_cast<double>(free_.size());
        changed_in_.assign(static_cast<size_t>(num_samples_), 0);
        before_.assign(static_cast<size_t>(num_samples_), kNone);
        size_t last_changes = 0;
        while (!visit.empty()) {
            if (*sweeps == max_iterations) {
                *converged = false;
                return true;
            }
            if (PyErr_CheckSignals() < 0) return false;
            changes.clear();
            for (const uint32_t i : visit) {
                Rank best = kNone;
                if (!best_rank(i, &best)) return false;
                if (best != ranks_[i]) changes.emplace_back(i, best);
            }
            ++*sweeps;
            size_t labelled = 0, undone = 0;
            for (const auto& [i, rank] : changes) {
                labelled += ranks_[i] == kNone;
                undone += changed_in_[i] + 1 == *sweeps && before_[i] == rank;
                changed_in_[i] = *sweeps;
                before_[i] = ranks_[i];
                ranks_[i] = rank;
            }
            if (!labelled && static_cast<double>(changes.size()) <= revisions_allowed) return true;
            // Sweeps that only undo the one before go on flipping the same
            // samples between two labellings for ever.
            if (undone == changes.size() && undone == last_changes) return true;
            last_changes = changes.size();
            visit.clear();
            for (const auto& change : changes) {
                const uint32_t v = change.first;
                for (int64_t r = reader_offsets_[v]; r < reader_offsets_[v + 1]; ++r) {
                    const uint32_t reader = readers_[static_cast<size_t>(r)];
                    if (!queued[reader]) {
                        queued[reader] = 1;
                        visit.push_back(reader);
                    }
                }
            }
            // In sample order, so that the rows are read front to back: at
            // random, fetching them took most of a sweep's time.
            if (visit.size() > free_.size() / 8) {
                visit.clear();
                for (const uint32_t i : free_) {
                    if (queued[i]) visit.push_back(i);
                }
            } else {
                std::sort(visit.begin(), visit.end());
            }
            for (const uint32_t i : visit) queued[i] = 0;
        }
        return true;
    }

    void write_labels(const pyext::View1D<int32_t>& labels) const {
        for (Py_ssize_t i = 0; i < labels.size; ++i) {
            const Rank rank = ranks_[static_cast<size_t>(i)];
            labels.set(i, rank == kNone ? -1 : classes_[static_cast<size_t>(rank)]);
        }
    }

private:
    // The rank of row i's best label (kNone when it holds no labelled entry):
    // the largest summed weight, the lowest rank among equals. The ids are
    // the caller's memory, which a signal handler may have written to since
    // they were checked: checked again here.
    bool best_rank(uint32_t i, Rank* best) {
        touched_.clear();
        // A run of entries of one label (most rows hold few others) is summed
        // in a register, the same additions in the same order as into its
        // score, which is stored when the run ends.
        Rank run = kNone;
        double sum = 0.0;
        for (int64_t e = offsets_[i]; e < offsets_[i + 1]; ++e) {
            const int64_t id = indices_[e];
            if (static_cast<uint64_t>(id) >= static_cast<uint64_t>(num_samples_))
                return out_of_range(i, id, num_samples_);
            const Rank rank = ranks_[static_cast<size_t>(id)];
            if (rank == kNone) continue;
            if (rank != run) {
                if (run != kNone) scores_[run] = sum;
                if (!seen_[rank]) {
                    seen_[rank] = 1;
                    touched_.push_back(rank);
                }
                run = rank;
                sum = scores_[rank];
            }
            sum += weights_[e];
        }
        if (run != kNone) scores_[run] = sum;
        *best = kNone;
        double best_score = 0.0;
        for (const Rank rank : touched_) {
            const double score = scores_[static_cast<size_t>(rank)];
            if (*best == kNone || score > best_score || (score == best_score && rank < *best)) {
                *best = rank;
                best_score = score;
            }
            scores_[static_cast<size_t>(rank)] = 0.0;
            seen_[static_cast<size_t>(rank)] = 0;
        }
        return true;
    }

    const pyext::View1D<int64_t>& indices_;
    const pyext::View1D<double>& weights_;
    const std::vector<int64_t> offsets_;  // checked: from 0, not decreasing, to the entries' count
    const Py_ssize_t num_samples_;
    const std::vector<int32_t> classes_;  // the distinct labels, ascending
    std::vector<Rank> ranks_;       // each sample's label as its rank in classes_, kNone for none
    std::vector<uint32_t> free_;    // the samples unlabelled beforehand, ascending
    std::vector<int64_t> reader_offsets_;
    std::vector<uint32_t> readers_;  // for each sample, the unlabelled samples whose rows hold it
    std::vector<uint64_t> changed_in_;  // the sweep that last changed each sample's label, 0 for none
    std::vector<Rank> before_;          // its rank before that change
    std::vector<double> scores_;
    std::vector<uint8_t> seen_;
    std::vector<Rank> touched_;
};

template <class Rank>
PyObject* sweep_with(const pyext::View1D<int64_t>& indices, const pyext::View1D<double>& weights,
                     std::vector<int64_t> offsets, std::vector<int32_t> classes,
                     const pyext::View1D<int32_t>& labels, uint64_t max_iterations, double tolerance) {
    RowSweeps<Rank> sweeps(indices, weights, std::move(offsets), std::move(classes), labels);
    uint64_t count = 0;
    bool converged = true;
    if (!sweeps.index_rows() || !sweeps.run(max_iterations, tolerance, &count, &converged)) return nullptr;
    sweeps.write_labels(labels);
    return Py_BuildValue("(KN)", static_cast<unsigned long long>(count), PyBool_FromLong(converged));
}

// The row offsets, copied once checked, so that the entries read later lie
// within the arrays whatever happens to the caller's offsets.
bool checked_offsets(const pyext::View1D<int64_t>& indptr, Py_ssize_t num_samples, Py_ssize_t num_entries,
                     std::vector<int64_t>* offsets) {
    if (indptr.size != num_samples + 1) {
        PyErr_Format(PyExc_ValueError, "indptr has %zd entries, expected %zd (one per sample and one more)",
                     indptr.size, num_samples + 1);
        return false;
    }
    offsets->resize(static_cast<size_t>(indptr.size));
    int64_t previous = 0;
    for (Py_ssize_t i = 0; i < indptr.size; ++i) {
        const int64_t offset = indptr[i];
        if ((i == 0 && offset != 0) || offset < previous || offset > num_entries) {
            PyErr_Format(PyExc_ValueError, "indptr[%zd] = %lld: the offsets must rise from 0 to %zd", i,
                         static_cast<long long>(offset), num_entries);
            return false;
        }
        (*offsets)[static_cast<size_t>(i)] = previous = offset;
    }
    if (previous != num_entries) {
        PyErr_Format(PyExc_ValueError, "indptr ends at %lld, expected %zd (the number of entries)",
                     static_cast<long long>(previous), num_entries);
        return false;
    }
    return true;
}

PyObject* propagate_rows(pyext::Call&, PyObject* const* args) {
    // The numbers first: converting them may run Python code, which could
    // reshape the arrays read below.
    uint64_t max_iterations = 0;
    double tolerance = 0.0;
    if (!pyext::to_size_t(args[4], &max_iterations) || !pyext::to_double(args[5], &tolerance)) return nullptr;
    pyext::View1D<int64_t> indptr, indices;
    pyext::View1D<double> weights;
    pyext::View1D<int32_t> labels;
    if (!vector_argument(args[0], "indptr", NPY_INT64, false, &indptr) ||
        !vector_argument(args[1], "indices", NPY_INT64, false, &indices) ||
        !vector_argument(args[2], "weights", NPY_FLOAT64, false, &weights) ||
        !vector_argument(args[3], "labels", NPY_INT32, true, &labels))
        return nullptr;
    if (indices.size != weights.size) {
        PyErr_SetString(PyExc_ValueError, "indices and weights do not have the same length");
        return nullptr;
    }
    if (static_cast<uint64_t>(labels.size) > std::numeric_limits<uint32_t>::max()) {
        PyErr_SetString(PyExc_ValueError, "more samples than 2**32 - 1");
        return nullptr;
    }
    std::vector<int64_t> offsets;
    if (!checked_offsets(indptr, labels.size, indices.size, &offsets)) return nullptr;
    for (Py_ssize_t e = 0; e < weights.size; ++e) {
        if (!(weights[e] >= 0)) {  // NaN fails too
            PyErr_Format(PyExc_ValueError, "weights[%zd] is negative or NaN", e);
            return nullptr;
        }
    }
    for (Py_ssize_t i = 0; i < labels.size; ++i) {
        if (labels[i] < -1) {
            PyErr_Format(PyExc_ValueError, "labels[%zd] = %d: labels are -1 (unlabelled) or not negative", i,
                         labels[i]);
            return nullptr;
        }
    }
    try {
        std::vector<int32_t> classes;
        for (Py_ssize_t i = 0; i < labels.size; ++i)
            if (labels[i] != -1) classes.push_back(labels[i]);
        std::sort(classes.begin(), classes.end());
        classes.erase(std::unique(classes.begin(), classes.end()), classes.end());
        return classes.size() < 255 ? sweep_with<uint8_t>(indices, weights, std::move(offsets), std::move(classes),
                                                          labels, max_iterations, tolerance)
                                    : sweep_with<int32_t>(indices, weights, std::move(offsets), std::move(classes),
                                                          labels, max_iterations, tolerance);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

const char* const kParams[] = {"indptr", "indices", "weights", "labels", "max_iterations", "tolerance"};

const pyext::FunctionSpec kFunction = {
    "propagate_rows", kModuleName, kDoc,
    "velorn/algorithms/src/tolmar/source/tolmar_knn.cpp", __LINE__,
    kParams, 6, 6, propagate_rows,
};

int prepare(PyObject*) { return 0; }

const pyext::ModuleSpec kModule = {"tolmar_knn", kModuleName,
                                   "velorn/algorithms/src/tolmar/source/tolmar_knn.cpp", &kFunction,
                                   prepare, pyext::no_defaults};

}  // namespace

PyMODINIT_FUNC PyInit_tolmar_knn() { return PyModuleDef_Init(&pyext::ModuleDefinition<kModule>::def); }

// label_sweeps: the estimators' label propagation over a graph's rows, of any
// lengths (CSR: row offsets, neighbour ids, vote weights). Each sample
// without a label takes the label whose entries in its row weigh most, all
// samples of a sweep at once from the labels of the sweep before, so that
// the outcome depends on the graph and the labels, never on how the samples
// or the labels are numbered; a label given may change in later sweeps until
// none does. What the sweeps leave at odds with its own row (a cycle, a tie,
// a sweep limit) is then settled a few samples at a time, so that every
// label is among the heaviest of its row. The samples labelled beforehand
// keep theirs. repeated_rows tells the estimator whether its points hold
// copies.
#include "ref.hpp"
#include "convert.hpp"
#include "buffer.hpp"
#include "ndarray.hpp"
#include "function.hpp"
#include "module.hpp"
#include "cache_hint.hpp"
#include "huge_pages.hpp"
#include "gil.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

constexpr const char* kModuleName = "velorn._native.label_sweeps";

constexpr const char* kDoc =
    "propagate_rows(indptr, indices, weights, labels, max_iterations, tolerance, scores=None)\n"
    "    -> (sweeps, converged)\n"
    "\n"
    "    Label propagation over the rows of a graph into `labels` (a writable\n"
    "    1-D int32 ndarray, -1 for unlabelled), written once the sweeps are\n"
    "    done. Row i holds the entries indptr[i] .. indptr[i + 1] - 1 of\n"
    "    `indices` (neighbour ids) and `weights` (each one's vote, not negative;\n"
    "    indptr int64, indices int32 or int64, weights float64, all 1-D). In a\n"
    "    sweep every unlabelled sample whose row holds a labelled entry takes the label of\n"
    "    largest summed weight, from the labels of the sweep before; among\n"
    "    equal largest ones it keeps its own if that is one, else it waits.\n"
    "    Later sweeps visit only the samples whose row holds one that changed.\n"
    "    The samples labelled beforehand keep their label. Sweeps stop when one\n"
    "    changes nothing, when one labels no new sample and changes at most\n"
    "    `tolerance` times the unlabelled samples' number, or when one only\n"
    "    undoes the changes of the one before, which changed as many, or after\n"
    "    `max_iterations` sweeps (not converged). Then the samples whose label\n"
    "    is not among their row's largest (or is none while the row holds one)\n"
    "    change, in rounds where no two of them read each other, those that\n"
    "    gain most first, until none is left; among equal largest labels, the\n"
    "    one of the row's heaviest entry among theirs, then the one the rows of\n"
    "    the sample's neighbours vote for most (each weighed by its entry),\n"
    "    then the first in the row. After `max_iterations` rounds (not\n"
    "    converged) those left take their row's label at once. `scores`, if\n"
    "    given (a writable 2-D float64 ndarray, a row per sample and a column\n"
    "    per label value, at least max(labels) + 1), receives each row's\n"
    "    summed weight per label of its entries once the labels are written,\n"
    "    summed in the row's order. Returns the sweeps run and whether they\n"
    "    converged. The rows are read where they lie, held at their size:\n"
    "    rewriting them during the call (from a signal handler) raises\n"
    "    RuntimeError if an id outside the samples or a weight below 0 is read.\n";

[[gnu::cold]] bool out_of_range(Py_ssize_t sample, int64_t id, Py_ssize_t num_samples) {
    PyErr_Format(PyExc_IndexError, "sample %zd has neighbour id %lld outside 0 .. %zd", sample,
                 static_cast<long long>(id), num_samples - 1);
    return false;
}

// A 1-D ndarray of the NumPy type `type`, in native byte order (any stride
// and alignment); the error names `what`.
template <class T>
bool vector_argument(PyObject* value, const char* what, int type, bool writable, pyext::View1D<T>* view,
                     const char* type_name = nullptr) {
    if (!pyext::is_ndarray(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a 1-D ndarray", what);
        return false;
    }
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(value);
    if (PyArray_NDIM(a) != 1 || PyArray_TYPE(a) != type || !PyArray_ISNBO(PyArray_DESCR(a)->byteorder) ||
        (writable && !PyArray_ISWRITEABLE(a))) {
        PyErr_Format(PyExc_TypeError, "%s must be a%s 1-D %s ndarray", what, writable ? " writable" : "",
                     type_name          ? type_name
                     : type == NPY_INT64 ? "int64"
                     : type == NPY_INT32 ? "int32"
                                         : "float64");
        return false;
    }
    *view = {static_cast<char*>(PyArray_DATA(a)), PyArray_DIM(a, 0), PyArray_STRIDE(a, 0)};
    return true;
}

// A graph's rows as the sweeps read them, in CSR layout (row i's entries are
// offsets[i] .. offsets[i + 1] - 1): the offsets copied once checked, the
// ids (4 bytes) and weights read where the caller holds them when they lie
// side by side, apart from the arrays the call writes (their memory held in
// place by a ResizeGuard), else copied here. At ten million samples a copy
// would be 1.8 GB. Python code runs between sweeps and may rewrite them, so
// every read checks its entry again: an id out of range or a weight below 0
// (or NaN) reads as sample 0 of weight 0 and marks the rows `changed`, which
// the call then reports instead of its labels.
struct PackedRows {
    pyext::BigVector<int64_t> offsets;
    pyext::BigVector<uint32_t> own_ids;
    pyext::BigVector<double> own_weights;
    const char* ids = nullptr;
    const char* weights = nullptr;
    uint32_t num_samples = 0;
    mutable bool changed = false;

    double mean_length() const {
        return static_cast<double>(offsets.back()) / static_cast<double>(std::max<size_t>(offsets.size() - 1, 1));
    }
    int64_t start(uint32_t i) const { return offsets[i]; }
    int64_t stop(uint32_t i) const { return offsets[i + 1]; }
    uint32_t id(int64_t e) const {
        uint32_t id;  // an int32 id of the caller's reads as itself, a negative one as out of range
        std::memcpy(&id, ids + e * int64_t{sizeof id}, sizeof id);
        if (id < num_samples) [[likely]] return id;
        changed = true;
        return 0;
    }
    double weight(int64_t e) const {
        double weight;
        std::memcpy(&weight, weights + e * int64_t{sizeof weight}, sizeof weight);
        if (weight >= 0) [[likely]] return weight;
        changed = true;
        return 0.0;
    }
    void ask_for(uint32_t i) const {
        pyext::cache_hint(ids + offsets[i] * int64_t{sizeof(uint32_t)});
        pyext::cache_hint(weights + offsets[i] * int64_t{sizeof(double)});
    }
};

// Samples visited (and one for each sweep or round) between two checks for
// signals, some milliseconds' work: the lock is taken back for each check,
// which may wait for another thread to let it go.
constexpr uint64_t kWorkPerSignalCheck = uint64_t{1} << 16;

// A set of samples, a bit each, so that it stays in the caches while a scan
// tests it once per entry.
class SampleBits {
public:
    explicit SampleBits(size_t size) : words_((size + 63) / 64, 0) {}
    bool has(size_t i) const { return (words_[i >> 6] >> (i & 63)) & 1; }
    void add(size_t i) { words_[i >> 6] |= uint64_t{1} << (i & 63); }
    void remove(size_t i) { words_[i >> 6] &= ~(uint64_t{1} << (i & 63)); }

private:
    std::vector<uint64_t> words_;
};

// The sweeps, on labels of their own (each label's rank among the distinct
// labels, so that scores fit a table as long as the labels are few), written
// back to the caller's array only once all are done. Ranks are read at
// random, one per entry: a byte each while the labels are few, so that at a
// million samples they stay in the caches.
template <class Rank>
class RowSweeps {
    static_assert(std::is_unsigned_v<Rank>);  // kNone + 1 wraps to 0
    static constexpr Rank kNone = std::numeric_limits<Rank>::max();

public:
    RowSweeps(const PackedRows& rows, std::vector<int32_t> classes, const pyext::View1D<int32_t>& labels)
        : rows_(rows), num_samples_(labels.size), classes_(std::move(classes)),
          ranks_(static_cast<size_t>(labels.size), kNone), waiting_bits_(static_cast<size_t>(labels.size)) {
        for (Py_ssize_t i = 0; i < labels.size; ++i) {
            const int32_t label = labels[i];
            if (label == -1)
                free_.push_back(static_cast<uint32_t>(i));
            else
                ranks_[static_cast<size_t>(i)] = static_cast<Rank>(
                    std::lower_bound(classes_.begin(), classes_.end(), label) - classes_.begin());
        }
        scores_.assign(classes_.size(), 0.0);
        seen_.assign(classes_.size(), 0);
        second_votes_.assign(classes_.size(), 0.0);
        finalist_.assign(classes_.size(), 0);
    }

    // Builds, for each sample, the unlabelled samples whose rows hold it:
    // they are the ones to visit after it changes.
    void index_rows() {
        pyext::BigVector<int64_t> counts(static_cast<size_t>(num_samples_) + 1, 0);
        for (const uint32_t i : free_)
            for (int64_t e = rows_.start(i); e < rows_.stop(i); ++e) ++counts[rows_.id(e) + size_t{1}];
        for (size_t v = 1; v < counts.size(); ++v) counts[v] += counts[v - 1];
        readers_.resize(static_cast<size_t>(counts.back()));
        pyext::BigVector<int64_t> next(counts.begin(), counts.end() - 1);
        for (const uint32_t i : free_)
            for (int64_t e = rows_.start(i); e < rows_.stop(i); ++e)
                readers_[static_cast<size_t>(next[rows_.id(e)]++)] = i;
        reader_offsets_ = std::move(counts);
    }

    // Sweeps until one changes nothing, or labels no new sample and changes
    // at most `tolerance` of the unlabelled ones, or only undoes the sweep
    // before, or `max_iterations` have run; false with an exception for a
    // signal. The samples whose rows hold a label changed since their last
    // visit are kept for settle(). While a sweep changes so many samples
    // that their readers would be most unlabelled ones, the next visits them
    // all, without the readers' index: a sample whose row holds no changed
    // label gives the label it has, so the outcome is the same; the index is
    // built once the changes are few. Other threads run meanwhile: the
    // sweeps read and write only this object's memory.
    bool run(uint64_t max_iterations, double tolerance, uint64_t* sweeps, bool* converged) {
        *sweeps = 0;
        *converged = true;
        pyext::BigVector<uint32_t> visit(free_);
        SampleBits queued(static_cast<size_t>(num_samples_));
        pyext::BigVector<std::pair<uint32_t, Rank>> changes;
        const double revisions_allowed = tolerance * static_cast<double>(free_.size());
        changed_in_.assign(static_cast<size_t>(num_samples_), 0);
        before_.assign(static_cast<size_t>(num_samples_), kNone);
        size_t last_changes = 0;
        int scans_left = 8;
        pyext::ReleasedGil released;
        uint64_t work = kWorkPerSignalCheck;  // signals are checked before the first sweep
        while (!visit.empty()) {
            if (*sweeps == max_iterations) {
                *converged = false;
                break;
            }
            if (work >= kWorkPerSignalCheck) {
                work = 0;
                if (!released.signals_checked()) return false;
            }
            work += visit.size() + 1;
            // Each visited sample is written down, and kept when its label
            // changes, without a branch: in the middle sweeps about half of
            // them change, unpredictably.
            changes.resize(visit.size());
            size_t num_changes = 0;
            for (size_t j = 0; j < visit.size(); ++j) {
                // The rows are visited in sample order, with gaps: their
                // memory is asked for a few rows ahead.
                if (j + 4 < visit.size()) rows_.ask_for(visit[j + 4]);
                const uint32_t i = visit[j];
                const Rank best = best_rank(i);
                changes[num_changes] = {i, best};
                num_changes += best != ranks_[i];
            }
            changes.resize(num_changes);
            ++*sweeps;
            size_t labelled = 0, undone = 0;
            for (const auto& [i, rank] : changes) {
                labelled += ranks_[i] == kNone;
                undone += changed_in_[i] + 1 == *sweeps && before_[i] == rank;
                changed_in_[i] = *sweeps;
                before_[i] = ranks_[i];
                ranks_[i] = rank;
            }
            // Sweeps that only undo the one before go on flipping the same
            // samples between two labellings for ever.
            const bool stop = (!labelled && static_cast<double>(changes.size()) <= revisions_allowed) ||
                              (undone == changes.size() && undone == last_changes);
            last_changes = changes.size();
            visit.clear();
            if (changes.empty()) break;
            visit_readers(changes, &queued, &scans_left, &visit);
            if (stop) break;
        }
        to_check_ = std::move(visit);
        return true;
    }

    // Settles the samples that the sweeps left at odds with their own row:
    // a label not among the row's best, or none while the row holds one
    // (where a cycle, `tolerance` or `max_iterations` stopped the sweeps,
    // or a tie waited to the end). Each round changes only the samples at
    // odds that gain more by changing than every sample at odds they read
    // or that reads them, so that none of them reads another: as if changed
    // one at a time, which never cycles over symmetric weights. Those
    // changes' readers are checked in the next round. After `max_rounds`
    // rounds, the samples still at odds are left to finish() and `settled`
    // is false. False with an exception for a signal. Other threads run
    // meanwhile, as in run().
    bool settle(uint64_t max_rounds, bool* settled) {
        pyext::BigVector<uint32_t> check(std::move(to_check_));
        check.insert(check.end(), waiting_.begin(), waiting_.end());
        std::sort(check.begin(), check.end());
        check.erase(std::unique(check.begin(), check.end()), check.end());
        SampleBits at_odds(static_cast<size_t>(num_samples_));
        std::vector<Want> wants, changing;
        pyext::ReleasedGil released;
        uint64_t work = kWorkPerSignalCheck;
        for (uint64_t round = 0;; ++round) {
            if (work >= kWorkPerSignalCheck) {
                work = 0;
                if (!released.signals_checked()) return false;
            }
            work += check.size() + 1;
            wants.clear();
            for (const uint32_t i : check) {
                Want want;
                if (wants_change(i, &want)) wants.push_back(want);
            }
            *settled = wants.empty();
            if (*settled) return true;
            if (round == max_rounds) {
                for (Want& want : wants) want.choice = best_label(want.sample);
                unfinished_ = std::move(wants);
                return true;
            }
            if (reader_offsets_.empty()) index_rows();
            for (const Want& want : wants) at_odds.add(want.sample);
            changing.clear();
            for (const Want& want : wants)
                if (goes_first(want, wants, at_odds, false)) changing.push_back(want);
            // Equal gains all round (unweighted graphs): the lower sample
            // number goes first among them.
            if (changing.empty()) {
                for (const Want& want : wants)
                    if (goes_first(want, wants, at_odds, true)) changing.push_back(want);
            }
            check.clear();
            for (const Want& want : wants) {
                at_odds.remove(want.sample);
                check.push_back(want.sample);
            }
            // All chosen before any changes: a tie reads the neighbours' rows.
            for (Want& change : changing) change.choice = best_label(change.sample);
            for (const Want& change : changing) {
                ranks_[change.sample] = change.choice;
                for (int64_t r = reader_offsets_[change.sample]; r < reader_offsets_[change.sample + 1]; ++r)
                    check.push_back(readers_[static_cast<size_t>(r)]);
            }
            std::sort(check.begin(), check.end());
            check.erase(std::unique(check.begin(), check.end()), check.end());
        }
    }

    // The samples settle() left at odds take the label their row votes for:
    // once the votes have been written, so that the two agree.
    void finish() {
        for (const Want& want : unfinished_) ranks_[want.sample] = want.choice;
    }

    // Frees what only the sweeps and settle() read (the readers' index is
    // as large as the rows' ids), before the caller's table of scores is
    // first written: untouched until then, it takes no memory.
    void free_sweep_state() {
        decltype(reader_offsets_)().swap(reader_offsets_);
        decltype(readers_)().swap(readers_);
        decltype(changed_in_)().swap(changed_in_);
        decltype(before_)().swap(before_);
        decltype(free_)().swap(free_);
        decltype(waiting_)().swap(waiting_);
        decltype(to_check_)().swap(to_check_);
        decltype(unfinished_)().swap(unfinished_);
    }

    void write_labels(const pyext::View1D<int32_t>& labels) const {
        for (Py_ssize_t i = 0; i < labels.size; ++i) {
            const Rank rank = ranks_[static_cast<size_t>(i)];
            labels.set(i, rank == kNone ? -1 : classes_[static_cast<size_t>(rank)]);
        }
    }

    // Each row's summed weight per label, a column per label value (every
    // label below the table's width, as checked beforehand).
    void write_scores(const pyext::View2D<double>& table) const {
        for (Py_ssize_t i = 0; i < table.rows; ++i) {
            const pyext::View1D<double> row = table.row(i);
            for (Py_ssize_t k = 0; k < row.size; ++k) row.set(k, 0.0);
            for (int64_t e = rows_.start(static_cast<uint32_t>(i)); e < rows_.stop(static_cast<uint32_t>(i)); ++e) {
                const Rank rank = ranks_[rows_.id(e)];
                if (rank == kNone) continue;
                const Py_ssize_t k = classes_[static_cast<size_t>(rank)];
                row.set(k, row[k] + rows_.weight(e));
            }
        }
    }

    // A sample at odds with its row, as settle() weighs it: by how much its
    // best label's score beats its own (all of the best score for a sample
    // without a label), and the label it takes, once chosen.
    struct Want {
        uint32_t sample;
        Rank choice;
        double gain;
        double best_score;
    };

    // The samples whose rows hold `changes`, in sample order, into `visit`.
    void visit_readers(const pyext::BigVector<std::pair<uint32_t, Rank>>& changes, SampleBits* queued,
                       int* scans_left, pyext::BigVector<uint32_t>* visit) {
        if (reader_offsets_.empty()) {
            if (static_cast<double>(changes.size()) * rows_.mean_length() > static_cast<double>(free_.size())) {
                *visit = free_;
                return;
            }
            // Scattered writes make the index cost several scans of the
            // rows: the first few sweeps with few changes scan instead.
            if (*scans_left > 0) {
                --*scans_left;
                for (const auto& change : changes) queued->add(change.first);
                for (const uint32_t i : free_) {
                    for (int64_t e = rows_.start(i); e < rows_.stop(i); ++e) {
                        if (queued->has(rows_.id(e))) {
                            visit->push_back(i);
                            break;
                        }
                    }
                }
                for (const auto& change : changes) queued->remove(change.first);
                return;
            }
            index_rows();
        }
        for (const auto& change : changes) {
            const uint32_t v = change.first;
            for (int64_t r = reader_offsets_[v]; r < reader_offsets_[v + 1]; ++r) {
                const uint32_t reader = readers_[static_cast<size_t>(r)];
                if (!queued->has(reader)) {
                    queued->add(reader);
                    visit->push_back(reader);
                }
            }
        }
        // In sample order, so that the rows are read front to back: at
        // random, fetching them took most of a sweep's time.
        if (visit->size() > free_.size() / 8) {
            visit->clear();
            for (const uint32_t i : free_) {
                if (queued->has(i)) visit->push_back(i);
            }
        } else {
            std::sort(visit->begin(), visit->end());
        }
        for (const uint32_t i : *visit) queued->remove(i);
    }

    // The rank row i's sample takes in a sweep (kNone when its row holds no
    // labelled entry): the label of largest summed weight. Among equal best
    // labels it keeps its own if that is one of them; else it waits with
    // what it has (noted for settle()), as a later sweep usually brings the
    // labels that part them, so that no label is favoured by its name. A
    // row whose labelled entries hold one label gives it without summing.
    Rank best_rank(uint32_t i) {
        const int64_t begin = rows_.start(i), end = rows_.stop(i);
        // The lowest label held and one more than the highest, without a
        // branch per entry (labelled and unlabelled entries alternate
        // unpredictably): kNone + 1 wraps to 0, below every label's.
        Rank lowest = kNone, above_highest = 0;
        for (int64_t e = begin; e < end; ++e) {
            const Rank rank = ranks_[rows_.id(e)];
            lowest = std::min(lowest, rank);
            above_highest = std::max(above_highest, static_cast<Rank>(rank + 1));
        }
        // One branch for both: whether a row holds any label at all is a
        // coin toss in the middle sweeps, whether it holds one at most is not.
        if ((lowest == kNone) | (static_cast<Rank>(lowest + 1) == above_highest)) return lowest;
        sum_scores(i);
        const Rank current = ranks_[i];
        Rank best = kNone;
        double best_score = 0.0, current_score = -1.0;
        bool tied = false;
        for (const Rank rank : touched_) {
            const double score = scores_[static_cast<size_t>(rank)];
            if (best == kNone || score > best_score) {
                best = rank;
                best_score = score;
                tied = false;
            } else if (score == best_score) {
                tied = true;
            }
            if (rank == current) current_score = score;
        }
        clear_scores();
        if (!tied) return best;
        if (current_score != best_score && !waiting_bits_.has(i)) {
            waiting_bits_.add(i);
            waiting_.push_back(i);
        }
        return current;
    }

    // Row i's summed weight per label into scores_, the labels met listed in
    // touched_, until clear_scores(). A run of entries of one label (most
    // rows hold few others) is summed in a register, the same additions in
    // the same order as into its score, which is stored when the run ends.
    void sum_scores(uint32_t i) {
        touched_.clear();
        Rank run = kNone;
        double sum = 0.0;
        for (int64_t e = rows_.start(i); e < rows_.stop(i); ++e) {
            const Rank rank = ranks_[rows_.id(e)];
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
            sum += rows_.weight(e);
        }
        if (run != kNone) scores_[run] = sum;
    }

    void clear_scores() {
        for (const Rank rank : touched_) {
            scores_[static_cast<size_t>(rank)] = 0.0;
            seen_[static_cast<size_t>(rank)] = 0;
        }
    }

    // Whether sample i is at odds with its row (see settle()), and if so
    // how much it gains by changing; its label is chosen once it changes.
    bool wants_change(uint32_t i, Want* want) {
        sum_scores(i);
        const Rank current = ranks_[i];
        double best_score = 0.0;
        for (const Rank rank : touched_) best_score = std::max(best_score, scores_[static_cast<size_t>(rank)]);
        const bool labelled = current != kNone;
        const double current_score = labelled && seen_[current] ? scores_[current] : 0.0;
        const bool at_odds = !touched_.empty() && (!labelled || current_score < best_score);
        clear_scores();
        if (at_odds) *want = {i, kNone, best_score - current_score, best_score};
        return at_odds;
    }

    // Row i's best label, parted_tie() among equals.
    Rank best_label(uint32_t i) {
        sum_scores(i);
        double best_score = 0.0;
        for (const Rank rank : touched_) best_score = std::max(best_score, scores_[static_cast<size_t>(rank)]);
        const Rank choice = parted_tie(i, best_score);
        clear_scores();
        return choice;
    }

    // Among row i's labels of score `best_score` (in scores_): the label of
    // the row's heaviest entry among theirs; among labels whose heaviest
    // entries weigh as much, the one that the rows of i's neighbours vote
    // for most, each neighbour counting as it counts in row i; then the
    // first in the row (a search's rows hold the nearest first). So the
    // graph decides, never the labels' names, and the samples' numbers only
    // where the graph looks the same from each label.
    Rank parted_tie(uint32_t i, double best_score) {
        const int64_t begin = rows_.start(i), end = rows_.stop(i);
        const auto is_best = [&](Rank rank) { return rank != kNone && scores_[rank] == best_score; };
        double heaviest = 0.0;
        for (int64_t e = begin; e < end; ++e)
            if (is_best(ranks_[rows_.id(e)])) heaviest = std::max(heaviest, rows_.weight(e));
        finalists_.clear();
        for (int64_t e = begin; e < end; ++e) {
            const Rank rank = ranks_[rows_.id(e)];
            if (is_best(rank) && rows_.weight(e) == heaviest && !finalist_[rank]) {
                finalist_[rank] = 1;
                finalists_.push_back(rank);
            }
        }
        Rank choice = finalists_.front();
        if (finalists_.size() > 1) {
            for (int64_t e = begin; e < end; ++e) {
                const uint32_t neighbour = rows_.id(e);
                const double weight = rows_.weight(e);
                for (int64_t f = rows_.start(neighbour); f < rows_.stop(neighbour); ++f) {
                    const Rank rank = ranks_[rows_.id(f)];
                    if (rank != kNone && finalist_[rank]) second_votes_[rank] += weight * rows_.weight(f);
                }
            }
            for (const Rank rank : finalists_)
                if (second_votes_[rank] > second_votes_[choice]) choice = rank;
        }
        for (const Rank rank : finalists_) {
            finalist_[rank] = 0;
            second_votes_[rank] = 0.0;
        }
        return choice;
    }

    // Whether `want` changes in this round: no sample at odds in its row or
    // reading it gains more, or as much with a larger best score; with
    // `by_number`, among equals, none of a lower number.
    bool goes_first(const Want& want, const std::vector<Want>& wants, const SampleBits& at_odds,
                    bool by_number) const {
        const auto ahead = [&](uint32_t other) {
            if (other == want.sample || !at_odds.has(other)) return false;
            const Want& rival = *std::lower_bound(
                wants.begin(), wants.end(), other, [](const Want& w, uint32_t sample) { return w.sample < sample; });
            if (rival.gain != want.gain) return rival.gain > want.gain;
            if (rival.best_score != want.best_score) return rival.best_score > want.best_score;
            return by_number ? other < want.sample : true;
        };
        for (int64_t e = rows_.start(want.sample); e < rows_.stop(want.sample); ++e)
            if (ahead(rows_.id(e))) return false;
        for (int64_t r = reader_offsets_[want.sample]; r < reader_offsets_[want.sample + 1]; ++r)
            if (ahead(readers_[static_cast<size_t>(r)])) return false;
        return true;
    }

    const PackedRows& rows_;
    const Py_ssize_t num_samples_;
    const std::vector<int32_t> classes_;  // the distinct labels, ascending
    pyext::BigVector<Rank> ranks_;       // each sample's label as its rank in classes_, kNone for none
    pyext::BigVector<uint32_t> free_;    // the samples unlabelled beforehand, ascending
    pyext::BigVector<int64_t> reader_offsets_;  // empty until the index is built
    pyext::BigVector<uint32_t> readers_;  // for each sample, the unlabelled samples whose rows hold it
    pyext::BigVector<uint64_t> changed_in_;  // the sweep that last changed each sample's label, 0 for none
    pyext::BigVector<Rank> before_;          // its rank before that change
    std::vector<double> scores_;
    std::vector<uint8_t> seen_;
    std::vector<Rank> touched_;
    std::vector<Rank> finalists_;            // parted_tie()'s labels still tied, each marked in finalist_
    std::vector<uint8_t> finalist_;
    std::vector<double> second_votes_;       // their votes in the neighbours' rows, 0.0 for the others
    SampleBits waiting_bits_;                // the samples noted in waiting_
    pyext::BigVector<uint32_t> waiting_;     // the samples a tie held back in a sweep, for settle()
    pyext::BigVector<uint32_t> to_check_;    // the samples whose rows changed after the last sweep
    std::vector<Want> unfinished_;           // the samples settle() left at odds, for finish()
};

// Runs the sweeps with labels stored as Rank and writes the labels back.
// Returns the sweeps run and whether they converged, or null with an exception.
template <class Rank>
PyObject* sweep_with(const PackedRows& rows, std::vector<int32_t> classes, const pyext::View1D<int32_t>& labels,
                     uint64_t max_iterations, double tolerance, const pyext::View2D<double>* scores) {
    RowSweeps<Rank> sweeps(rows, std::move(classes), labels);
    uint64_t count = 0;
    bool converged = true, settled = true;
    if (!sweeps.run(max_iterations, tolerance, &count, &converged) || !sweeps.settle(max_iterations, &settled))
        return nullptr;
    sweeps.finish();
    sweeps.free_sweep_state();
    sweeps.write_labels(labels);
    if (scores) sweeps.write_scores(*scores);
    if (rows.changed) {
        PyErr_SetString(PyExc_RuntimeError,
                        "indices or weights changed during the call: an id outside the samples or a negative "
                        "or NaN weight was read");
        return nullptr;
    }
    return Py_BuildValue("(KN)", static_cast<unsigned long long>(count), PyBool_FromLong(converged && settled));
}

// The distinct labels, ascending; the sweeps store each as its rank among
// them, in a byte while they are few.
PyObject* sweep(const PackedRows& rows, const pyext::View1D<int32_t>& labels, uint64_t max_iterations,
                double tolerance, const pyext::View2D<double>* scores) {
    try {
        std::vector<int32_t> classes;
        for (Py_ssize_t i = 0; i < labels.size; ++i)
            if (labels[i] != -1) classes.push_back(labels[i]);
        std::sort(classes.begin(), classes.end());
        classes.erase(std::unique(classes.begin(), classes.end()), classes.end());
        if (classes.size() < 255)
            return sweep_with<uint8_t>(rows, std::move(classes), labels, max_iterations, tolerance, scores);
        return sweep_with<uint32_t>(rows, std::move(classes), labels, max_iterations, tolerance, scores);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// Whether labels are -1 or not negative, and few enough for 4-byte ids.
bool checked_labels(const pyext::View1D<int32_t>& labels) {
    if (static_cast<uint64_t>(labels.size) > std::numeric_limits<uint32_t>::max()) {
        PyErr_SetString(PyExc_ValueError, "more samples than 2**32 - 1");
        return false;
    }
    for (Py_ssize_t i = 0; i < labels.size; ++i) {
        if (labels[i] < -1) {
            PyErr_Format(PyExc_ValueError, "labels[%zd] = %d: labels are -1 (unlabelled) or not negative", i,
                         labels[i]);
            return false;
        }
    }
    return true;
}

// The row offsets, copied once checked, so that the entries read later lie
// within the arrays whatever happens to the caller's offsets.
bool checked_offsets(const pyext::View1D<int64_t>& indptr, Py_ssize_t num_samples, Py_ssize_t num_entries,
                     pyext::BigVector<int64_t>* offsets) {
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

// The table of scores: a writable 2-D float64 ndarray (any strides), a row
// per sample and a column for every label value held.
bool scores_argument(PyObject* value, const pyext::View1D<int32_t>& labels, pyext::View2D<double>* table) {
    if (!pyext::is_ndarray(value)) {
        PyErr_SetString(PyExc_TypeError, "scores must be a 2-D ndarray or None");
        return false;
    }
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(value);
    if (PyArray_NDIM(a) != 2 || PyArray_TYPE(a) != NPY_FLOAT64 || !PyArray_ISNBO(PyArray_DESCR(a)->byteorder) ||
        !PyArray_ISWRITEABLE(a)) {
        PyErr_SetString(PyExc_TypeError, "scores must be a writable 2-D float64 ndarray");
        return false;
    }
    int32_t highest = -1;
    for (Py_ssize_t i = 0; i < labels.size; ++i) highest = std::max(highest, labels[i]);
    if (PyArray_DIM(a, 0) != labels.size || PyArray_DIM(a, 1) <= highest) {
        PyErr_Format(PyExc_ValueError, "scores has shape (%zd, %zd), expected %zd rows and more than %d columns",
                     static_cast<Py_ssize_t>(PyArray_DIM(a, 0)), static_cast<Py_ssize_t>(PyArray_DIM(a, 1)),
                     labels.size, highest);
        return false;
    }
    *table = pyext::view2d_of<double>(a);
    return true;
}

// The bytes an array spans, [first, last): the rows are read in place only
// apart from the arrays the call writes.
struct Extent {
    const char* first = nullptr;
    const char* last = nullptr;
    bool overlaps(const Extent& other) const { return first < other.last && other.first < last; }
};

Extent extent_of(const char* data, std::initializer_list<std::pair<Py_ssize_t, Py_ssize_t>> sizes_and_strides,
                 size_t item) {
    Extent extent{data, data + item};
    for (const auto& [size, stride] : sizes_and_strides) {
        if (size == 0) return {};
        (stride < 0 ? extent.first : extent.last) += (size - 1) * stride;
    }
    return extent;
}

// The caller's array as `Stored` items, where it lies when its items are
// such and side by side and it shares no memory with `written`, else copied
// into `own`.
template <class Stored, class T>
const char* in_place_or_copied(const pyext::View1D<T>& values, std::initializer_list<Extent> written,
                               pyext::BigVector<Stored>* own) {
    const Extent read = extent_of(values.data, {{values.size, values.stride}}, sizeof(T));
    if (sizeof(T) == sizeof(Stored) && values.unit_stride() &&
        std::none_of(written.begin(), written.end(), [&](const Extent& w) { return w.overlaps(read); }))
        return values.data;
    own->resize(static_cast<size_t>(values.size));
    for (Py_ssize_t e = 0; e < values.size; ++e) (*own)[static_cast<size_t>(e)] = static_cast<Stored>(values[e]);
    return reinterpret_cast<const char*>(own->data());
}

// Points `rows` at the caller's ids and weights (or copies of them, see
// in_place_or_copied) once each id is checked to lie within the samples;
// false with IndexError otherwise.
template <class Id>
bool pack_rows(const pyext::View1D<Id>& indices, const pyext::View1D<double>& weights,
               std::initializer_list<Extent> written, PackedRows* rows) {
    const int64_t num_samples = rows->num_samples;
    for (size_t i = 0; i + 1 < rows->offsets.size(); ++i) {
        for (int64_t e = rows->offsets[i]; e < rows->offsets[i + 1]; ++e) {
            const int64_t id = indices[e];
            if (static_cast<uint64_t>(id) >= static_cast<uint64_t>(num_samples))
                return out_of_range(static_cast<Py_ssize_t>(i), id, num_samples);
        }
    }
    rows->ids = in_place_or_copied(indices, written, &rows->own_ids);
    rows->weights = in_place_or_copied(weights, written, &rows->own_weights);
    return true;
}

PyObject* propagate_rows(pyext::Call&, PyObject* const* args) {
    // The numbers first: converting them may run Python code, which could
    // reshape the arrays read below.
    uint64_t max_iterations = 0;
    double tolerance = 0.0;
    if (!pyext::index_to_size_t(args[4], &max_iterations) || !pyext::to_double(args[5], &tolerance))
        return nullptr;
    // The sweeps let signal handlers run, which may resize the labels they
    // write at the end: held in place before they are read.
    pyext::ResizeGuard guard;
    const bool scored = args[6] && args[6] != Py_None;
    if (!guard.hold(args[1]) || !guard.hold(args[2]) || !guard.hold(args[3]) || (scored && !guard.hold(args[6])))
        return nullptr;
    pyext::View1D<int64_t> indptr, indices;
    pyext::View1D<int32_t> narrow_indices;  // ids of fewer than 2**31 samples, in 4 bytes
    pyext::View1D<double> weights;
    pyext::View1D<int32_t> labels;
    const bool narrow = pyext::is_ndarray(args[1]) &&
                        PyArray_TYPE(reinterpret_cast<PyArrayObject*>(args[1])) == NPY_INT32;
    if (!vector_argument(args[0], "indptr", NPY_INT64, false, &indptr) ||
        !(narrow ? vector_argument(args[1], "indices", NPY_INT32, false, &narrow_indices)
                 : vector_argument(args[1], "indices", NPY_INT64, false, &indices, "int32 or int64")) ||
        !vector_argument(args[2], "weights", NPY_FLOAT64, false, &weights) ||
        !vector_argument(args[3], "labels", NPY_INT32, true, &labels))
        return nullptr;
    const Py_ssize_t num_entries = narrow ? narrow_indices.size : indices.size;
    if (num_entries != weights.size) {
        PyErr_SetString(PyExc_ValueError, "indices and weights do not have the same length");
        return nullptr;
    }
    pyext::BigVector<int64_t> offsets;
    if (!checked_labels(labels) ||
        !checked_offsets(indptr, labels.size, num_entries, &offsets))
        return nullptr;
    pyext::View2D<double> table;
    if (scored && !scores_argument(args[6], labels, &table)) return nullptr;
    for (Py_ssize_t e = 0; e < weights.size; ++e) {
        if (!(weights[e] >= 0)) {  // NaN fails too
            PyErr_Format(PyExc_ValueError, "weights[%zd] is negative or NaN", e);
            return nullptr;
        }
    }
    try {
        PackedRows rows;
        rows.offsets = std::move(offsets);
        rows.num_samples = static_cast<uint32_t>(labels.size);
        const std::initializer_list<Extent> written = {
            extent_of(labels.data, {{labels.size, labels.stride}}, sizeof(int32_t)),
            scored ? extent_of(table.data, {{table.rows, table.row_stride}, {table.cols, table.col_stride}},
                               sizeof(double))
                   : Extent{}};
        if (!(narrow ? pack_rows(narrow_indices, weights, written, &rows)
                     : pack_rows(indices, weights, written, &rows)))
            return nullptr;
        return sweep(rows, labels, max_iterations, tolerance, scored ? &table : nullptr);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

const char* const kParams[] = {"indptr", "indices", "weights", "labels", "max_iterations", "tolerance", "scores"};

const pyext::FunctionSpec kFunction = {
    "propagate_rows", kModuleName, kDoc,
    "velorn/_native/src/label_sweeps.cpp", __LINE__,
    kParams, 7, 6, propagate_rows,
};

// A row's hash, from its values' bits (0.0 and -0.0 alike: adding 0.0 makes
// -0.0 0.0).
template <class T>
uint64_t row_hash(const pyext::View2D<T>& x, Py_ssize_t i) {
    const char* row = x.row_data(i);
    uint64_t hash = 0x9e3779b97f4a7c15u;
    for (Py_ssize_t j = 0; j < x.cols; ++j) {
        uint64_t bits = 0;
        if constexpr (std::is_floating_point_v<T>) {
            const T value = x.in_row(row, j) + T{0};
            std::memcpy(&bits, &value, sizeof value);
        } else {
            bits = static_cast<uint64_t>(x.in_row(row, j));
        }
        hash = (hash ^ bits) * 0xff51afd7ed558ccdu;
        hash ^= hash >> 32;
    }
    return hash;
}

template <class T>
bool same_rows(const pyext::View2D<T>& x, Py_ssize_t a, Py_ssize_t b) {
    const char *first = x.row_data(a), *second = x.row_data(b);
    for (Py_ssize_t j = 0; j < x.cols; ++j)
        if (!(x.in_row(first, j) == x.in_row(second, j))) return false;
    return true;
}

// Whether two rows of `x` hold the same values: each row goes into an
// open-addressed table (at least twice as many slots as rows), a slot
// holding the row's number and its hash's upper half, and rows whose
// hashes meet are compared. Hashes are taken a few rows ahead, and their
// slots asked for, so that the table's scattered reads overlap.
template <class T>
bool repeats_rows(const pyext::View2D<T>& x) {
    if (x.rows < 2) return false;
    size_t slots = 1;
    while (slots < 2 * static_cast<size_t>(x.rows)) slots <<= 1;
    const size_t mask = slots - 1;
    constexpr uint64_t kEmpty = std::numeric_limits<uint64_t>::max();  // row 2**32 - 1 is never stored
    pyext::BigVector<uint64_t> table(slots, kEmpty);
    constexpr Py_ssize_t kAhead = 8;
    uint64_t ahead[kAhead];
    for (Py_ssize_t i = 0; i < std::min(kAhead, x.rows); ++i) {
        ahead[i] = row_hash(x, i);
        pyext::cache_hint(&table[static_cast<size_t>(ahead[i]) & mask]);
    }
    for (Py_ssize_t i = 0; i < x.rows; ++i) {
        const uint64_t hash = ahead[i % kAhead];
        if (i + kAhead < x.rows) {
            const uint64_t later = row_hash(x, i + kAhead);
            ahead[i % kAhead] = later;
            pyext::cache_hint(&table[static_cast<size_t>(later) & mask]);
        }
        const uint64_t entry = (hash & ~uint64_t{0xffffffff}) | static_cast<uint32_t>(i);
        for (size_t slot = static_cast<size_t>(hash) & mask;; slot = (slot + 1) & mask) {
            const uint64_t held = table[slot];
            if (held == kEmpty) {
                table[slot] = entry;
                break;
            }
            if ((held ^ hash) >> 32 == 0 && same_rows(x, static_cast<uint32_t>(held), i)) return true;
        }
    }
    return false;
}

PyObject* repeated_rows(pyext::Call&, PyObject* const* args) {
    PyArrayObject* points = pyext::is_ndarray(args[0]) ? reinterpret_cast<PyArrayObject*>(args[0]) : nullptr;
    const int type = points ? PyArray_TYPE(points) : -1;
    if (!points || PyArray_NDIM(points) != 2 || !PyArray_ISNBO(PyArray_DESCR(points)->byteorder) ||
        (type != NPY_FLOAT64 && type != NPY_FLOAT32 && type != NPY_INT64 && type != NPY_INT32)) {
        PyErr_SetString(PyExc_TypeError, "points must be a 2-D float64, float32, int64 or int32 ndarray");
        return nullptr;
    }
    if (PyArray_DIM(points, 0) >= std::numeric_limits<uint32_t>::max()) {
        PyErr_SetString(PyExc_ValueError, "more samples than 2**32 - 1");
        return nullptr;
    }
    // Other threads run during the pass, which reads the points in place:
    // held against resizing first.
    pyext::ResizeGuard guard;
    if (!guard.hold(args[0])) return nullptr;
    try {
        bool repeated = false;
        {
            const pyext::ReleasedGil released;
            repeated = type == NPY_FLOAT64   ? repeats_rows(pyext::view2d_of<double>(points))
                       : type == NPY_FLOAT32 ? repeats_rows(pyext::view2d_of<float>(points))
                       : type == NPY_INT64   ? repeats_rows(pyext::view2d_of<int64_t>(points))
                                             : repeats_rows(pyext::view2d_of<int32_t>(points));
        }
        return PyBool_FromLong(repeated);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

const char* const kRepeatedParams[] = {"points"};

constexpr const char* kRepeatedDoc =
    "repeated_rows(points) -> bool\n"
    "\n"
    "    Whether two rows of `points` (a 2-D float64, float32, int64 or int32\n"
    "    ndarray, any strides) hold the same values, 0.0 and -0.0 alike.\n";

const pyext::FunctionSpec kRepeatedFunction = {
    "repeated_rows", kModuleName, kRepeatedDoc,
    "velorn/_native/src/label_sweeps.cpp", __LINE__,
    kRepeatedParams, 1, 1, repeated_rows,
};

int prepare(PyObject* dict) {
    pyext::Ref repeated = pyext::make_function(kRepeatedFunction, pyext::module_state.module, Py_None);
    return repeated ? PyDict_SetItemString(dict, kRepeatedFunction.name, repeated.get()) : -1;
}

const pyext::ModuleSpec kModule = {"label_sweeps", kModuleName,
                                   "velorn/_native/src/label_sweeps.cpp", &kFunction,
                                   prepare, pyext::no_defaults};

}  // namespace

PyMODINIT_FUNC PyInit_label_sweeps() { return PyModuleDef_Init(&pyext::ModuleDefinition<kModule>::def); }

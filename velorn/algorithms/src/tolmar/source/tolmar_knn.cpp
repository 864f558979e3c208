// tolmar_knn: the estimators' label propagation over a graph's rows, of any
// lengths (CSR: row offsets, neighbour ids, vote weights). Each sample
// without a label takes the label whose entries in its row weigh most, all
// samples of a sweep at once from the labels of the sweep before, so that
// the outcome depends on the graph and the labels, never on how the samples
// or the labels are numbered; a label given may change in later sweeps until
// none does. What the sweeps leave at odds with its own row (a cycle, a tie,
// a sweep limit) is then settled a few samples at a time, so that every
// label is among the heaviest of its row. The samples labelled beforehand
// keep theirs. propagate_table runs the same sweeps over a neighbour
// search's table as it comes, without the CSR copies NumPy would build, and
// also sums the votes per label that the estimator reports.
#include "ref.hpp"
#include "convert.hpp"
#include "buffer.hpp"
#include "ndarray.hpp"
#include "function.hpp"
#include "module.hpp"
#include "cache_hint.hpp"
#include "huge_pages.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
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
    "    converged) those left take their row's label at once. Returns the\n"
    "    sweeps run and whether they converged.\n";

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

// A graph's rows as the sweeps read them, in CSR layout (row i's entries are
// offsets[i] .. offsets[i + 1] - 1), copied from the caller's arrays once
// checked: ids that lie within the samples, in 4 bytes, and their votes.
struct PackedRows {
    pyext::BigVector<int64_t> offsets;
    pyext::BigVector<uint32_t> ids;
    pyext::BigVector<double> weights;

    double mean_length() const {
        return static_cast<double>(ids.size()) / static_cast<double>(std::max<size_t>(offsets.size() - 1, 1));
    }
    int64_t start(uint32_t i) const { return offsets[i]; }
    int64_t stop(uint32_t i) const { return offsets[i + 1]; }
    uint32_t id(uint32_t, int64_t e) const { return ids[static_cast<size_t>(e)]; }
    double weight(uint32_t, int64_t e) const { return weights[static_cast<size_t>(e)]; }
    void ask_for(uint32_t i) const {
        pyext::cache_hint(ids.data() + offsets[i]);
        pyext::cache_hint(weights.data() + offsets[i]);
    }
};

// 1 / distance**2, as NumPy computes it for the CSR rows: the square in
// float64, then 1.0 divided by it.
template <class Distance>
double vote_of(Distance distance) {
    const double d = static_cast<double>(distance);
    return 1.0 / (d * d);
}

// A search's table with its ids copied once checked: row i's entries are its
// columns 1 .. `length` (column 0 holds the sample itself), their ids packed
// in 4 bytes (a sweep reads every id, and the table's 8-byte ids at a
// stride cost it twice the memory traffic), each voting 1 / distance**2
// from the table as it comes.
template <class Distance>
class TableRows {
public:
    TableRows(pyext::BigVector<uint32_t> ids, const pyext::View2D<Distance>& distances, Py_ssize_t length)
        : ids_(std::move(ids)), distances_(distances), length_(length) {}

    double mean_length() const { return static_cast<double>(length_); }
    int64_t start(uint32_t i) const { return static_cast<int64_t>(i) * length_; }
    int64_t stop(uint32_t i) const { return (static_cast<int64_t>(i) + 1) * length_; }
    uint32_t id(uint32_t, int64_t e) const { return ids_[static_cast<size_t>(e)]; }
    double weight(uint32_t i, int64_t e) const { return vote_of(distances_.at(i, 1 + e - start(i))); }
    void ask_for(uint32_t i) const { pyext::cache_hint(ids_.data() + start(i)); }

private:
    const pyext::BigVector<uint32_t> ids_;
    const pyext::View2D<Distance> distances_;
    const Py_ssize_t length_;
};

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
template <class Rank, class Rows>
class RowSweeps {
    static_assert(std::is_unsigned_v<Rank>);  // kNone + 1 wraps to 0
    static constexpr Rank kNone = std::numeric_limits<Rank>::max();

public:
    RowSweeps(const Rows& rows, std::vector<int32_t> classes, const pyext::View1D<int32_t>& labels)
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
            for (int64_t e = rows_.start(i); e < rows_.stop(i); ++e) ++counts[rows_.id(i, e) + size_t{1}];
        for (size_t v = 1; v < counts.size(); ++v) counts[v] += counts[v - 1];
        readers_.resize(static_cast<size_t>(counts.back()));
        pyext::BigVector<int64_t> next(counts.begin(), counts.end() - 1);
        for (const uint32_t i : free_)
            for (int64_t e = rows_.start(i); e < rows_.stop(i); ++e)
                readers_[static_cast<size_t>(next[rows_.id(i, e)]++)] = i;
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
    // built once the changes are few.
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
        while (!visit.empty()) {
            if (*sweeps == max_iterations) {
                *converged = false;
                break;
            }
            if (PyErr_CheckSignals() < 0) return false;
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
    // is false. False with an exception for a signal.
    bool settle(uint64_t max_rounds, bool* settled) {
        pyext::BigVector<uint32_t> check(std::move(to_check_));
        check.insert(check.end(), waiting_.begin(), waiting_.end());
        std::sort(check.begin(), check.end());
        check.erase(std::unique(check.begin(), check.end()), check.end());
        SampleBits at_odds(static_cast<size_t>(num_samples_));
        std::vector<Want> wants, changing;
        for (uint64_t round = 0;; ++round) {
            if (PyErr_CheckSignals() < 0) return false;
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

    void write_labels(const pyext::View1D<int32_t>& labels) const {
        for (Py_ssize_t i = 0; i < labels.size; ++i) {
            const Rank rank = ranks_[static_cast<size_t>(i)];
            labels.set(i, rank == kNone ? -1 : classes_[static_cast<size_t>(rank)]);
        }
    }

    // Each sample's summed weight per label over its row's labelled entries
    // (the samples labelled beforehand too: their copies may be unlabelled),
    // added in row order into its row of `scores` (zeros beforehand; a
    // column per label), a run of one label in a register. With `normalise`,
    // each row is then divided by its sum, taken column by column from 0.0,
    // while it is at hand; a row of zeros stays so.
    void write_scores(const pyext::View2D<double>& scores, bool normalise) const {
        for (Py_ssize_t i = 0; i < num_samples_; ++i) {
            char* row = scores.data + i * scores.row_stride;
            char* cell = nullptr;
            double sum = 0.0;
            Rank run = kNone;
            const uint32_t sample = static_cast<uint32_t>(i);
            for (int64_t e = rows_.start(sample); e < rows_.stop(sample); ++e) {
                const Rank rank = ranks_[rows_.id(sample, e)];
                if (rank == kNone) continue;
                if (rank != run) {
                    if (cell) std::memcpy(cell, &sum, sizeof sum);
                    run = rank;
                    cell = row + classes_[static_cast<size_t>(rank)] * scores.col_stride;
                    std::memcpy(&sum, cell, sizeof sum);
                }
                sum += rows_.weight(sample, e);
            }
            if (!cell) continue;
            std::memcpy(cell, &sum, sizeof sum);
            if (normalise) divide_by_sum(scores.row(i));
        }
    }

private:
    static void divide_by_sum(const pyext::View1D<double>& row) {
        double total = 0.0;
        for (Py_ssize_t c = 0; c < row.size; ++c) total += row[c];
        if (total == 0.0) return;
        for (Py_ssize_t c = 0; c < row.size; ++c) row.set(c, row[c] / total);
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
                        if (queued->has(rows_.id(i, e))) {
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
            const Rank rank = ranks_[rows_.id(i, e)];
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
            const Rank rank = ranks_[rows_.id(i, e)];
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
            sum += rows_.weight(i, e);
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
            if (is_best(ranks_[rows_.id(i, e)])) heaviest = std::max(heaviest, rows_.weight(i, e));
        finalists_.clear();
        for (int64_t e = begin; e < end; ++e) {
            const Rank rank = ranks_[rows_.id(i, e)];
            if (is_best(rank) && rows_.weight(i, e) == heaviest && !finalist_[rank]) {
                finalist_[rank] = 1;
                finalists_.push_back(rank);
            }
        }
        Rank choice = finalists_.front();
        if (finalists_.size() > 1) {
            for (int64_t e = begin; e < end; ++e) {
                const uint32_t neighbour = rows_.id(i, e);
                const double weight = rows_.weight(i, e);
                for (int64_t f = rows_.start(neighbour); f < rows_.stop(neighbour); ++f) {
                    const Rank rank = ranks_[rows_.id(neighbour, f)];
                    if (rank != kNone && finalist_[rank]) second_votes_[rank] += weight * rows_.weight(neighbour, f);
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
            if (ahead(rows_.id(want.sample, e))) return false;
        for (int64_t r = reader_offsets_[want.sample]; r < reader_offsets_[want.sample + 1]; ++r)
            if (ahead(readers_[static_cast<size_t>(r)])) return false;
        return true;
    }

    const Rows& rows_;
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

// Runs the sweeps with labels stored as Rank, writes the labels back and,
// when `scores` is given, the samples' summed weights per label (their
// shares with `normalise`).
// Returns the sweeps run and whether they converged, or null with an exception.
template <class Rank, class Rows>
PyObject* sweep_with(const Rows& rows, std::vector<int32_t> classes, const pyext::View1D<int32_t>& labels,
                     uint64_t max_iterations, double tolerance, const pyext::View2D<double>* scores,
                     bool normalise) {
    RowSweeps<Rank, Rows> sweeps(rows, std::move(classes), labels);
    uint64_t count = 0;
    bool converged = true, settled = true;
    if (!sweeps.run(max_iterations, tolerance, &count, &converged) || !sweeps.settle(max_iterations, &settled))
        return nullptr;
    if (scores) sweeps.write_scores(*scores, normalise);
    sweeps.finish();
    sweeps.write_labels(labels);
    return Py_BuildValue("(KN)", static_cast<unsigned long long>(count), PyBool_FromLong(converged && settled));
}

// The distinct labels, ascending; the sweeps store each as its rank among
// them, in a byte while they are few.
template <class Rows>
PyObject* sweep(const Rows& rows, const pyext::View1D<int32_t>& labels, uint64_t max_iterations,
                double tolerance, const pyext::View2D<double>* scores, bool normalise) {
    try {
        std::vector<int32_t> classes;
        for (Py_ssize_t i = 0; i < labels.size; ++i)
            if (labels[i] != -1) classes.push_back(labels[i]);
        std::sort(classes.begin(), classes.end());
        classes.erase(std::unique(classes.begin(), classes.end()), classes.end());
        if (classes.size() < 255)
            return sweep_with<uint8_t>(rows, std::move(classes), labels, max_iterations, tolerance, scores, normalise);
        return sweep_with<uint32_t>(rows, std::move(classes), labels, max_iterations, tolerance, scores, normalise);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// Whether labels are -1 or in 0 .. limit - 1.
bool checked_labels(const pyext::View1D<int32_t>& labels, int64_t limit) {
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
        if (labels[i] >= limit) {
            PyErr_Format(PyExc_ValueError, "labels[%zd] = %d: scores has %lld columns", i, labels[i],
                         static_cast<long long>(limit));
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
    if (!guard.hold(args[3])) return nullptr;
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
    pyext::BigVector<int64_t> offsets;
    if (!checked_labels(labels, int64_t{std::numeric_limits<int32_t>::max()} + 1) ||
        !checked_offsets(indptr, labels.size, indices.size, &offsets))
        return nullptr;
    for (Py_ssize_t e = 0; e < weights.size; ++e) {
        if (!(weights[e] >= 0)) {  // NaN fails too
            PyErr_Format(PyExc_ValueError, "weights[%zd] is negative or NaN", e);
            return nullptr;
        }
    }
    try {
        PackedRows rows;
        rows.ids.resize(static_cast<size_t>(indices.size));
        rows.weights.resize(static_cast<size_t>(weights.size));
        for (Py_ssize_t i = 0; i < labels.size; ++i) {
            for (int64_t e = offsets[static_cast<size_t>(i)]; e < offsets[static_cast<size_t>(i) + 1]; ++e) {
                const int64_t id = indices[e];
                if (static_cast<uint64_t>(id) >= static_cast<uint64_t>(labels.size))
                    return out_of_range(i, id, labels.size), nullptr;
                rows.ids[static_cast<size_t>(e)] = static_cast<uint32_t>(id);
                rows.weights[static_cast<size_t>(e)] = weights[e];
            }
        }
        rows.offsets = std::move(offsets);
        return sweep(rows, labels, max_iterations, tolerance, nullptr, false);
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

// Whether a row's own distance, which does not vote, is one the graph's
// checks accept: finite and not negative.
template <class Distance>
bool own_distance_accepted(Distance distance) {
    return distance >= 0 && distance <= std::numeric_limits<Distance>::max();
}

// A search's table (a row of ids and distances per sample, nearest first)
// as the rows the graph module's from_table gives: each row's first `width`
// entries besides the sample itself. False when the sweeps over them would
// not give what they give over from_table's rows: an id outside 0 .. n - 1,
// a distance besides the row's own that is 0 (a copy, which the CSR path
// joins first), negative, not finite or of an infinite vote, or rows out of
// order where one is cut to `width` (from_table then sorts them); or a
// row's own distance that the graph's checks refuse.
template <class Id, class Distance>
bool table_rows(const pyext::View2D<Id>& ids, const pyext::View2D<Distance>& distances, Py_ssize_t width,
                PackedRows* rows) {
    const size_t most = static_cast<size_t>(ids.rows) * static_cast<size_t>(std::min(width, ids.cols));
    rows->ids.reserve(most);
    rows->weights.reserve(most);
    rows->offsets.reserve(static_cast<size_t>(ids.rows) + 1);
    rows->offsets.push_back(0);
    bool cut = false, unsorted = false;
    for (Py_ssize_t i = 0; i < ids.rows; ++i) {
        const char* id_row = ids.row_data(i);
        const char* distance_row = distances.row_data(i);
        Py_ssize_t count = 0;
        double previous = std::numeric_limits<double>::infinity();
        for (Py_ssize_t e = 0; e < ids.cols; ++e) {
            const int64_t id = static_cast<int64_t>(ids.in_row(id_row, e));
            const Distance distance = distances.in_row(distance_row, e);
            if (id == i) {
                if (!own_distance_accepted(distance)) return false;
                continue;
            }
            if (id < 0 || id >= ids.rows) return false;
            const double vote = vote_of(distance);
            if (!(distance > 0) || !std::isfinite(distance) || !std::isfinite(vote)) return false;
            unsorted |= vote > previous;
            previous = vote;
            if (count++ < width) {
                rows->ids.push_back(static_cast<uint32_t>(id));
                rows->weights.push_back(vote);
            }
        }
        cut |= count > width;
        rows->offsets.push_back(static_cast<int64_t>(rows->ids.size()));
    }
    return !(cut && unsorted);
}

// The table's ids as TableRows reads them, `length` = min(width, columns - 1)
// a row, when each row holds its own sample first and then only others.
// False otherwise. Unit columns (the common case) let the compiler take a
// row's entries several at a time.
template <class Id, bool kUnitColumns>
bool table_ids(const pyext::View2D<Id, kUnitColumns>& ids, Py_ssize_t width, pyext::BigVector<uint32_t>* kept) {
    if (ids.cols == 0) return ids.rows == 0;
    const Py_ssize_t length = std::min(width, ids.cols - 1);
    kept->resize(static_cast<size_t>(ids.rows) * static_cast<size_t>(length));
    uint32_t* next = kept->data();
    const uint64_t num_samples = static_cast<uint64_t>(ids.rows);
    for (Py_ssize_t i = 0; i < ids.rows; ++i) {
        const char* row = ids.row_data(i);
        bool bad = static_cast<int64_t>(ids.in_row(row, 0)) != i;
        for (Py_ssize_t e = 1; e < ids.cols; ++e) {
            const int64_t id = static_cast<int64_t>(ids.in_row(row, e));
            bad |= (id == i) | (static_cast<uint64_t>(id) >= num_samples);
        }
        if (bad) return false;
        for (Py_ssize_t e = 1; e <= length; ++e) next[e - 1] = static_cast<uint32_t>(ids.in_row(row, e));
        next += length;
    }
    return true;
}

// The unsigned integer of a distance's size, which holds its bits: for
// positive values, their order is the values' order.
template <class Distance>
using BitsOf = std::conditional_t<sizeof(Distance) == 8, uint64_t, uint32_t>;

template <class Distance>
BitsOf<Distance> bits_of(Distance value) {
    BitsOf<Distance> bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// The bits of the smallest positive distance whose vote is finite. Votes
// shrink as distances grow, so the distances that vote a finite weight run
// from it to the largest finite one: bisected once over the bit patterns.
template <class Distance>
BitsOf<Distance> lowest_voting_bits() {
    BitsOf<Distance> low = 1, high = bits_of(Distance{1});  // a vote of 1 at distance 1
    while (low < high) {
        const BitsOf<Distance> middle = low + (high - low) / 2;
        Distance value;
        std::memcpy(&value, &middle, sizeof value);
        if (std::isfinite(vote_of(value)))
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

// Whether each distance besides a row's first (the sample's own) is
// positive and votes a finite weight, and, when rows are cut to `width`,
// whether each row's lie nearest first; as table_rows requires. Compared as
// bits: NaN, infinities, zeros and negative values all lie outside the
// range of those that vote. The sample's own distance is checked apart.
template <class Distance, bool kUnitColumns>
bool table_votes_finite(const pyext::View2D<Distance, kUnitColumns>& distances, Py_ssize_t width) {
    using Bits = BitsOf<Distance>;
    static const Bits lowest = lowest_voting_bits<Distance>();
    const Bits span = bits_of(std::numeric_limits<Distance>::max()) - lowest;
    const bool cut = distances.cols - 1 > width;
    for (Py_ssize_t i = 0; i < distances.rows; ++i) {
        const char* row = distances.row_data(i);
        bool bad = !own_distance_accepted(distances.in_row(row, 0));
        for (Py_ssize_t e = 1; e < distances.cols; ++e)
            bad |= static_cast<Bits>(bits_of(distances.in_row(row, e)) - lowest) > span;
        if (cut) {
            for (Py_ssize_t e = 2; e < distances.cols; ++e)
                bad |= bits_of(distances.in_row(row, e)) < bits_of(distances.in_row(row, e - 1));
        }
        if (bad) return false;
    }
    return true;
}

// Both checks, on views of unit columns where the arrays have them.
template <class Id, class Distance>
bool table_readable(PyArrayObject* ids, PyArrayObject* distances, Py_ssize_t width,
                    pyext::BigVector<uint32_t>* kept) {
    const bool ids_readable = pyext::has_unit_columns<Id>(ids)
                                  ? table_ids(pyext::view2d_of<Id, true>(ids), width, kept)
                                  : table_ids(pyext::view2d_of<Id>(ids), width, kept);
    if (!ids_readable) return false;
    return pyext::has_unit_columns<Distance>(distances)
               ? table_votes_finite(pyext::view2d_of<Distance, true>(distances), width)
               : table_votes_finite(pyext::view2d_of<Distance>(distances), width);
}

template <class Id, class Distance>
PyObject* propagate_table_of(PyArrayObject* ids_array, PyArrayObject* distances_array,
                             const pyext::View1D<int32_t>& labels, Py_ssize_t width, uint64_t max_iterations,
                             double tolerance, const pyext::View2D<double>* scores,
                             bool normalise) {
    const auto ids = pyext::view2d_of<Id>(ids_array);
    const auto distances = pyext::view2d_of<Distance>(distances_array);
    pyext::Ref outcome;
    int64_t longest = 0;
    try {
        pyext::BigVector<uint32_t> kept;
        if (table_readable<Id, Distance>(ids_array, distances_array, width, &kept)) {
            const Py_ssize_t length = std::min(width, ids.cols - 1);
            longest = ids.rows ? length : 0;
            outcome = pyext::Ref::steal(sweep(TableRows<Distance>(std::move(kept), distances, length), labels,
                                              max_iterations, tolerance, scores, normalise));
        } else {
            PackedRows rows;
            if (!table_rows(ids, distances, width, &rows)) Py_RETURN_NONE;
            for (size_t i = 1; i < rows.offsets.size(); ++i)
                longest = std::max(longest, rows.offsets[i] - rows.offsets[i - 1]);
            outcome = pyext::Ref::steal(sweep(rows, labels, max_iterations, tolerance, scores, normalise));
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (!outcome) return nullptr;
    return Py_BuildValue("(OOL)", PyTuple_GET_ITEM(outcome.get(), 0), PyTuple_GET_ITEM(outcome.get(), 1),
                         static_cast<long long>(longest));
}

// A 2-D ndarray of one of two NumPy types, in native byte order.
bool table_argument(PyObject* value, const char* what, int type, int other_type, PyArrayObject** array) {
    *array = pyext::is_ndarray(value) ? reinterpret_cast<PyArrayObject*>(value) : nullptr;
    if (!*array || PyArray_NDIM(*array) != 2 ||
        (PyArray_TYPE(*array) != type && PyArray_TYPE(*array) != other_type) ||
        !PyArray_ISNBO(PyArray_DESCR(*array)->byteorder)) {
        PyErr_Format(PyExc_TypeError, "%s must be a 2-D %s ndarray", what,
                     type == NPY_INT64 ? "int64 or int32" : "float64 or float32");
        return false;
    }
    return true;
}

PyObject* propagate_table(pyext::Call&, PyObject* const* args) {
    uint64_t width = 0, max_iterations = 0;
    double tolerance = 0.0;
    if (!pyext::index_to_size_t(args[3], &width) || !pyext::index_to_size_t(args[4], &max_iterations) ||
        !pyext::to_double(args[5], &tolerance))
        return nullptr;
    // The sweeps let signal handlers run, which may resize the distances
    // they read, or the labels and scores they write at the end: all held
    // in place before they are read.
    pyext::ResizeGuard guard;
    for (int k : {1, 2, 6})
        if (args[k] && !guard.hold(args[k])) return nullptr;
    PyArrayObject *ids = nullptr, *distances = nullptr, *scores_array = nullptr;
    pyext::View1D<int32_t> labels;
    if (!table_argument(args[0], "ids", NPY_INT64, NPY_INT32, &ids) ||
        !table_argument(args[1], "distances", NPY_FLOAT64, NPY_FLOAT32, &distances) ||
        !vector_argument(args[2], "labels", NPY_INT32, true, &labels))
        return nullptr;
    // A bool, not any object's truth, which could run Python code.
    if (args[7] && !PyBool_Check(args[7])) {
        PyErr_SetString(PyExc_TypeError, "normalise must be a bool");
        return nullptr;
    }
    const bool normalise = args[7] == Py_True;
    const bool has_scores = args[6] && args[6] != Py_None;
    if (has_scores) {
        if (!pyext::is_ndarray(args[6]) ||
            PyArray_NDIM(scores_array = reinterpret_cast<PyArrayObject*>(args[6])) != 2 ||
            PyArray_TYPE(scores_array) != NPY_FLOAT64 || !PyArray_ISNBO(PyArray_DESCR(scores_array)->byteorder) ||
            !PyArray_ISWRITEABLE(scores_array)) {
            PyErr_SetString(PyExc_TypeError, "scores must be a writable 2-D float64 ndarray or None");
            return nullptr;
        }
    }
    const Py_ssize_t num_samples = labels.size;
    if (PyArray_DIM(ids, 0) != num_samples || !PyArray_SAMESHAPE(ids, distances) ||
        (has_scores && PyArray_DIM(scores_array, 0) != num_samples)) {
        PyErr_SetString(PyExc_ValueError, "ids, distances, labels and scores must have a row per sample, "
                                          "ids and distances the same shape");
        return nullptr;
    }
    const int64_t num_classes = has_scores ? PyArray_DIM(scores_array, 1)
                                           : int64_t{std::numeric_limits<int32_t>::max()} + 1;
    if (!checked_labels(labels, num_classes)) return nullptr;
    const Py_ssize_t kept = static_cast<Py_ssize_t>(std::min<uint64_t>(width, PY_SSIZE_T_MAX));
    const pyext::View2D<double> scores =
        has_scores ? pyext::view2d_of<double>(scores_array) : pyext::View2D<double>{};
    const pyext::View2D<double>* out = has_scores ? &scores : nullptr;
    const bool wide_ids = PyArray_TYPE(ids) == NPY_INT64, wide_distances = PyArray_TYPE(distances) == NPY_FLOAT64;
    if (wide_ids && wide_distances)
        return propagate_table_of<int64_t, double>(ids, distances, labels, kept, max_iterations, tolerance, out,
                                                   normalise);
    if (wide_ids)
        return propagate_table_of<int64_t, float>(ids, distances, labels, kept, max_iterations, tolerance, out,
                                                  normalise);
    if (wide_distances)
        return propagate_table_of<int32_t, double>(ids, distances, labels, kept, max_iterations, tolerance, out,
                                                   normalise);
    return propagate_table_of<int32_t, float>(ids, distances, labels, kept, max_iterations, tolerance, out,
                                              normalise);
}

const char* const kTableParams[] = {"ids",       "distances", "labels", "width", "max_iterations",
                                    "tolerance", "scores",    "normalise"};

constexpr const char* kTableDoc =
    "propagate_table(ids, distances, labels, width, max_iterations, tolerance, scores=None,\n"
    "                normalise=False)\n"
    "    -> (sweeps, converged, longest_row) or None\n"
    "\n"
    "    propagate_rows over a neighbour search's table as it comes: row i of\n"
    "    `ids` (2-D int64 or int32) and `distances` (2-D float64 or float32, the\n"
    "    same shape), nearest first, gives sample i's first `width` entries\n"
    "    besides its own, each voting 1 / distance**2. Returns None, with\n"
    "    `labels` untouched, when the table cannot be read so (a distance that\n"
    "    is 0, negative or not finite besides the row's own, the row's own\n"
    "    negative or not finite, an id outside 0 .. n - 1, a row cut to\n"
    "    `width` out of order): the CSR rows then decide. `scores` (a writable\n"
    "    (n, classes) float64 array of zeros, or None) receives each sample's\n"
    "    summed weight per label over its kept labelled entries, once the\n"
    "    sweeps are done; with `normalise` (a bool), each row divided by its\n"
    "    sum, taken column by column from 0.0 (a row of zeros stays so). Also\n"
    "    returns the longest row kept.\n";

const pyext::FunctionSpec kTableFunction = {
    "propagate_table", kModuleName, kTableDoc,
    "velorn/algorithms/src/tolmar/source/tolmar_knn.cpp", __LINE__,
    kTableParams, 8, 6, propagate_table,
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
    try {
        const bool repeated = type == NPY_FLOAT64 ? repeats_rows(pyext::view2d_of<double>(points))
                              : type == NPY_FLOAT32 ? repeats_rows(pyext::view2d_of<float>(points))
                              : type == NPY_INT64   ? repeats_rows(pyext::view2d_of<int64_t>(points))
                                                    : repeats_rows(pyext::view2d_of<int32_t>(points));
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
    "velorn/algorithms/src/tolmar/source/tolmar_knn.cpp", __LINE__,
    kRepeatedParams, 1, 1, repeated_rows,
};

int prepare(PyObject* dict) {
    pyext::Ref defaults = pyext::Ref::steal(PyTuple_Pack(2, Py_None, Py_False));
    if (!defaults) return -1;
    pyext::Ref function = pyext::make_function(kTableFunction, pyext::module_state.module, defaults.get());
    if (!function || PyDict_SetItemString(dict, kTableFunction.name, function.get()) < 0) return -1;
    pyext::Ref repeated = pyext::make_function(kRepeatedFunction, pyext::module_state.module, Py_None);
    return repeated ? PyDict_SetItemString(dict, kRepeatedFunction.name, repeated.get()) : -1;
}

const pyext::ModuleSpec kModule = {"tolmar_knn", kModuleName,
                                   "velorn/algorithms/src/tolmar/source/tolmar_knn.cpp", &kFunction,
                                   prepare, pyext::no_defaults};

}  // namespace

PyMODINIT_FUNC PyInit_tolmar_knn() { return PyModuleDef_Init(&pyext::ModuleDefinition<kModule>::def); }

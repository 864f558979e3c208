// Scoring one node from the labelled entries of its row, for the sweeps of
// weighted_label_propagation (tolmar_lp.cpp), whose weights are distances.
// The estimators' sweeps (velorn/_native/src/label_sweeps.cpp) take vote
// weights and sum them with code of their own; nothing here is shared with
// them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

// The labels of one node's labelled neighbours with their summed scores, in
// first-insertion order (the tie-break). Rows carry few distinct labels, so
// small fixed arrays with a linear search serve almost every node; a hash
// index takes over for rows with many.
class ScoreMap {
public:
    void clear() {
        count_ = 0;
        if (hashed_) {
            entries_.clear();
            index_.clear();
            hashed_ = false;
        }
    }

    void add(int32_t label, double contribution) {
        if (!hashed_) {
            for (int k = 0; k < count_; ++k) {
                if (labels_[k] == label) {
                    scores_[k] += contribution;
                    return;
                }
            }
            if (count_ < kLinearLimit) {
                labels_[count_] = label;
                scores_[count_] = contribution;
                ++count_;
                return;
            }
            spill();
        }
        add_hashed(label, contribution);
    }

    // The first entry with the strictly greatest score; NaN never wins.
    void best(int32_t* label, double* score) const {
        *label = -1;
        *score = -1.0;
        if (hashed_) {
            for (const auto& e : entries_) consider(e.first, e.second, label, score);
        } else {
            for (int k = 0; k < count_; ++k) consider(labels_[k], scores_[k], label, score);
        }
    }

private:
    static void consider(int32_t candidate, double candidate_score, int32_t* label, double* score) {
        if (candidate_score > *score) {
            *label = candidate;
            *score = candidate_score;
        }
    }

    [[gnu::noinline]] void spill() {
        for (int k = 0; k < count_; ++k) {
            index_.emplace(labels_[k], entries_.size());
            entries_.emplace_back(labels_[k], scores_[k]);
        }
        hashed_ = true;
    }

    [[gnu::noinline]] void add_hashed(int32_t label, double contribution) {
        auto [it, inserted] = index_.emplace(label, entries_.size());
        if (inserted)
            entries_.emplace_back(label, contribution);
        else
            entries_[it->second].second += contribution;
    }

    static constexpr int kLinearLimit = 16;
    int32_t labels_[kLinearLimit];
    double scores_[kLinearLimit];
    int count_ = 0;
    bool hashed_ = false;
    std::vector<std::pair<int32_t, double>> entries_;
    std::unordered_map<int32_t, size_t> index_;
};

// Per-row working space, grown to the longest row seen and then reused, so
// that a node costs no allocation.
class RowScratch {
public:
    void reserve(size_t n) {
        if (n <= capacity_) return;
        labels_.resize(n);
        weights_.resize(n);
        contributions_.resize(n);
        capacity_ = n;
    }
    int32_t* labels() { return labels_.data(); }
    float* weights() { return weights_.data(); }
    double* contributions() { return contributions_.data(); }

private:
    size_t capacity_ = 0;
    // The labelled entries of a row only, in row order: label, weight, (1/weight)^2.
    std::vector<int32_t> labels_;
    std::vector<float> weights_;
    std::vector<double> contributions_;
};

// Each kept entry adds (1/weight)^2, rounded to double at each step, to its
// label's score, in row order. The reciprocals are computed in a loop the
// compiler vectorises.
inline void score_kept(RowScratch& row, Py_ssize_t kept, ScoreMap& candidates) {
    const float* __restrict weights = row.weights();
    double* __restrict contributions = row.contributions();
    for (Py_ssize_t k = 0; k < kept; ++k) {
        const double inverse = 1.0 / static_cast<double>(weights[k]);
        contributions[k] = inverse * inverse;
    }
    const int32_t* labels = row.labels();
    candidates.clear();
    if (kept == 0) return;
    // Most rows start with a run of one label (many hold no other): its sum
    // is kept in a register, the same additions in the same order, instead
    // of waiting at each on the score just stored.
    double run = contributions[0];
    Py_ssize_t k = 1;
    while (k < kept && labels[k] == labels[0]) run += contributions[k++];
    candidates.add(labels[0], run);
    for (; k < kept; ++k) candidates.add(labels[k], contributions[k]);
}

}  // namespace

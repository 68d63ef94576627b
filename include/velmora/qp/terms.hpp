#pragma once
// The coefficient store of the expressions: a sparse vector kept as one
// contiguous array of (key, coefficient) entries, sorted by key, at most one
// entry per key. Building a model thus costs no allocation per term, sums
// merge two sorted runs, and assembly reads entries in index order.

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace velmora::qp {

template <class Key>
class Terms {
public:
    using value_type = std::pair<Key, double>;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    const value_type& front() const { return entries_.front(); }
    const value_type& back() const { return entries_.back(); }
    void reserve(std::size_t count) { entries_.reserve(count); }

    /// The coefficient of key; an absent key is inserted with 0.0.
    double& operator[](const Key& key) {
        const auto it = lower_bound(key);
        if (it != entries_.end() && it->first == key) return it->second;
        return entries_.insert(it, value_type{key, 0.0})->second;
    }

    /// The entry of key becomes value + its old coefficient, or value when
    /// absent. Keys arriving in increasing order are appended.
    void add(const Key& key, double value) {
        // Room for two from the start: most expressions are a variable
        // and a constant, or a difference of two variables.
        if (entries_.capacity() == 0) entries_.reserve(2);
        if (entries_.empty() || entries_.back().first < key) {
            entries_.emplace_back(key, value);
            return;
        }
        const auto it = lower_bound(key);
        if (it != entries_.end() && it->first == key) {
            it->second = value + it->second;
        } else {
            entries_.insert(it, value_type{key, value});
        }
    }

    /// add(key, c) for every entry (key, c) of other; add_negated adds -c.
    void add(const Terms& other) {
        merge(other, [](double c) { return c; });
    }
    void add_negated(const Terms& other) {
        merge(other, [](double c) { return -c; });
    }

    /// Replaces every coefficient c by f(c).
    template <class F>
    void transform(F f) {
        for (value_type& entry : entries_) entry.second = f(entry.second);
    }

    /// Appends entries in any order, then sorts them and sums the entries of
    /// one key. Only for runs in which a key occurs at most twice, where the
    /// order of the two contributions cannot change their sum.
    template <class Emit>
    void assign_unordered(std::size_t count, Emit emit) {
        entries_.clear();
        entries_.reserve(count);
        emit([this](const Key& key, double value) { entries_.emplace_back(key, value); });
        std::sort(entries_.begin(), entries_.end(), key_less_entry);
        std::size_t write = 0;
        for (std::size_t read = 0; read < entries_.size(); ++read) {
            if (write > 0 && entries_[write - 1].first == entries_[read].first) {
                entries_[write - 1].second += entries_[read].second;
            } else {
                entries_[write++] = entries_[read];
            }
        }
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(write), entries_.end());
    }

private:
    static bool key_less(const value_type& entry, const Key& key) { return entry.first < key; }
    static bool key_less_entry(const value_type& a, const value_type& b) {
        return a.first < b.first;
    }

    typename std::vector<value_type>::iterator lower_bound(const Key& key) {
        return std::lower_bound(entries_.begin(), entries_.end(), key, key_less);
    }

    // Merges only the part of this run that overlaps other's key range, in
    // place from the back: appending, or summing into a recent tail, costs
    // time in other's size, not in this run's.
    template <class Map>
    void merge(const Terms& other, Map map) {
        if (other.empty()) return;
        if (this == &other) {
            const Terms copy = other;
            merge(copy, map);
            return;
        }
        const auto first = lower_bound(other.front().first);
        const std::size_t start = static_cast<std::size_t>(first - entries_.begin());
        const std::size_t old_size = entries_.size();

        std::size_t added = 0;
        for (std::size_t i = start, j = 0; j < other.size();) {
            if (i < old_size && entries_[i].first < other.entries_[j].first) {
                ++i;
            } else {
                if (i < old_size && entries_[i].first == other.entries_[j].first) {
                    ++i;
                } else {
                    ++added;
                }
                ++j;
            }
        }

        entries_.resize(old_size + added, other.entries_.front());
        std::size_t i = old_size;  // one past the next entry of this run to place
        std::size_t j = other.size();
        std::size_t w = old_size + added;
        while (j > 0) {
            const value_type& incoming = other.entries_[j - 1];
            if (i > start && incoming.first < entries_[i - 1].first) {
                entries_[--w] = entries_[--i];
            } else if (i > start && entries_[i - 1].first == incoming.first) {
                --i;
                entries_[--w] =
                    value_type{incoming.first, map(incoming.second) + entries_[i].second};
                --j;
            } else {
                entries_[--w] = value_type{incoming.first, map(incoming.second)};
                --j;
            }
        }
    }

    std::vector<value_type> entries_;
};

}  // namespace velmora::qp

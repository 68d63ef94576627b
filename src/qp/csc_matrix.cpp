#include "velmora/qp/csc_matrix.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "core/memory.hpp"
#include "velmora/error.hpp"

namespace velmora::qp {

namespace {

constexpr std::size_t max_index = std::numeric_limits<std::size_t>::max();

std::vector<std::size_t> zero_counts(std::size_t len) {
    if (len == max_index) throw std::bad_alloc();
    check_allocation(len + 1, sizeof(std::size_t));
    return std::vector<std::size_t>(len + 1, 0);
}

void prefix_sum(std::vector<std::size_t>& counts) {
    for (std::size_t k = 1; k < counts.size(); ++k) counts[k] += counts[k - 1];
}

}  // namespace

CscMatrix CscMatrix::zeros(std::size_t m, std::size_t n) {
    CscMatrix a;
    a.m = m;
    a.n = n;
    a.colptr = zero_counts(n);
    return a;
}

CscMatrix CscMatrix::from_triplets(std::size_t m, std::size_t n,
                                   const std::vector<std::size_t>& rows,
                                   const std::vector<std::size_t>& cols,
                                   const std::vector<double>& values) {
    const std::size_t nnz = values.size();
    if (rows.size() != nnz || cols.size() != nnz)
        throw InvalidArgumentError("triplet arrays of different lengths");
    for (std::size_t k = 0; k < nnz; ++k) {
        if (rows[k] >= m) throw_index_out_of_bounds(m, rows[k]);
        if (cols[k] >= n) throw_index_out_of_bounds(n, cols[k]);
    }

    // Two stable bucket passes, by row and then by column, leave every column
    // sorted by row in time linear in m + n + nnz.
    std::vector<std::size_t> row_next = zero_counts(m);
    for (std::size_t r : rows) ++row_next[r + 1];
    prefix_sum(row_next);
    check_allocation(nnz, sizeof(std::size_t));
    std::vector<std::size_t> by_row(nnz);
    for (std::size_t k = 0; k < nnz; ++k) by_row[row_next[rows[k]]++] = k;
    row_next = {};

    CscMatrix a;
    a.m = m;
    a.n = n;
    a.colptr = zero_counts(n);
    for (std::size_t c : cols) ++a.colptr[c + 1];
    prefix_sum(a.colptr);
    std::vector<std::size_t> col_next(a.colptr.begin(), a.colptr.end() - 1);
    a.rowval.resize(nnz);
    a.nzval.resize(nnz);
    for (std::size_t k : by_row) {
        const std::size_t pos = col_next[cols[k]]++;
        a.rowval[pos] = rows[k];
        a.nzval[pos] = values[k];
    }
    by_row = {};
    col_next = {};

    // Sum repeated entries, which are now adjacent within their column.
    std::size_t write = 0;
    for (std::size_t col = 0; col < n; ++col) {
        const std::size_t first = a.colptr[col];
        const std::size_t last = a.colptr[col + 1];
        a.colptr[col] = write;
        for (std::size_t p = first; p < last; ++p) {
            if (write > a.colptr[col] && a.rowval[write - 1] == a.rowval[p]) {
                a.nzval[write - 1] = a.nzval[write - 1] + a.nzval[p];
            } else {
                a.rowval[write] = a.rowval[p];
                a.nzval[write] = a.nzval[p];
                ++write;
            }
        }
    }
    a.colptr[n] = write;
    a.rowval.resize(write);
    a.nzval.resize(write);
    return a;
}

std::optional<double> CscMatrix::find(std::size_t row, std::size_t col) const {
    if (col >= n) return std::nullopt;
    const auto first = rowval.begin() + static_cast<std::ptrdiff_t>(colptr[col]);
    const auto last = rowval.begin() + static_cast<std::ptrdiff_t>(colptr[col + 1]);
    const auto it = std::lower_bound(first, last, row);
    if (it == last || *it != row) return std::nullopt;
    return nzval[static_cast<std::size_t>(it - rowval.begin())];
}

void CscMatrixTripletsBuilder::reserve(std::size_t count) {
    check_allocation(count, sizeof(std::size_t) * 2 + sizeof(double));
    rows_.reserve(count);
    cols_.reserve(count);
    values_.reserve(count);
}

void CscMatrixTripletsBuilder::add_triplet(std::size_t row, std::size_t col, double value) {
    if (row == max_index || col == max_index) throw std::bad_alloc();
    rows_.push_back(row);
    cols_.push_back(col);
    values_.push_back(value);
    m_ = std::max(m_, row + 1);
    n_ = std::max(n_, col + 1);
}

CscMatrix CscMatrixTripletsBuilder::build() && {
    // Taken into locals so that the coordinate lists are freed on return.
    const auto rows = std::move(rows_);
    const auto cols = std::move(cols_);
    const auto values = std::move(values_);
    return CscMatrix::from_triplets(m_, n_, rows, cols, values);
}

}  // namespace velmora::qp

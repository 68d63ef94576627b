#pragma once
// Sparse matrices in compressed sparse column form, and a coordinate-list
// accumulator that builds them.

#include <cstddef>
#include <optional>
#include <vector>

namespace velmora::qp {

/// Compressed sparse column matrix: column j holds the entries
/// colptr[j] .. colptr[j+1]-1 of rowval/nzval, rows strictly increasing.
struct CscMatrix {
    std::size_t m = 0;
    std::size_t n = 0;
    std::vector<std::size_t> colptr{0};
    std::vector<std::size_t> rowval;
    std::vector<double> nzval;

    std::size_t nnz() const noexcept { return rowval.size(); }

    /// An m by n matrix without stored entries.
    static CscMatrix zeros(std::size_t m, std::size_t n);
    /// Builds from coordinates in any order; repeated (row, col) entries are
    /// summed. Throws velmora::Error for an index outside m by n.
    static CscMatrix from_triplets(std::size_t m, std::size_t n,
                                   const std::vector<std::size_t>& rows,
                                   const std::vector<std::size_t>& cols,
                                   const std::vector<double>& values);

    /// The stored value at (row, col), if that entry is stored.
    std::optional<double> find(std::size_t row, std::size_t col) const;
};

/// Coordinate-list accumulator. The row and column counts grow to fit every
/// added entry; entries are neither merged nor sorted until build().
class CscMatrixTripletsBuilder {
public:
    CscMatrixTripletsBuilder(std::size_t m, std::size_t n) : m_(m), n_(n) {}

    void reserve(std::size_t count);
    void add_triplet(std::size_t row, std::size_t col, double value);

    std::size_t rows() const noexcept { return m_; }
    std::size_t cols() const noexcept { return n_; }
    std::size_t size() const noexcept { return values_.size(); }

    /// Consumes the builder and returns the compressed matrix.
    CscMatrix build() &&;

private:
    std::size_t m_;
    std::size_t n_;
    std::vector<std::size_t> rows_;
    std::vector<std::size_t> cols_;
    std::vector<double> values_;
};

}  // namespace velmora::qp

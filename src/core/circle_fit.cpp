#include "velmora/circle_fit.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <limits>

#include "velmora/memory.hpp"

extern "C" {
// LAPACK (Fortran calling convention, LP64 integers, hidden string lengths last).
void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
             const int* lda, double* s, double* u, const int* ldu, double* vt, const int* ldvt,
             double* work, const int* lwork, int* info, std::size_t jobu_len,
             std::size_t jobvt_len);
}

namespace velmora {

namespace {

double mean(std::span<const double> v) {
    double sum = 0.0;
    for (const double e : v) sum += e;
    return sum / static_cast<double>(v.size());
}

bool all_finite(std::span<const double> v) {
    for (const double e : v)
        if (!std::isfinite(e)) return false;
    return true;
}

}  // namespace

std::optional<CircleFit> taubin_circle_fit(std::span<const double> x, std::span<const double> y,
                                           FitWorkspace& ws) {
    if (x.empty() || y.empty() || x.size() != y.size()) return std::nullopt;
    const std::size_t n = x.size();
    if (n > static_cast<std::size_t>(INT_MAX)) return std::nullopt;

    // M is column-major n x 3 with the columns (Z0, X, Y); X and Y are centred.
    check_allocation(checked_mul(n, 3), sizeof(double));
    ws.matrix_.resize(3 * n);
    double* const z0 = ws.matrix_.data();
    double* const x_col = z0 + n;
    double* const y_col = z0 + 2 * n;

    const double mx = mean(x);
    const double my = mean(y);
    double z_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        x_col[i] = x[i] - mx;
        y_col[i] = y[i] - my;
        z0[i] = x_col[i] * x_col[i] + y_col[i] * y_col[i];
        z_sum += z0[i];
    }
    const double zm = z_sum / static_cast<double>(n);
    const double scale = 2.0 * std::sqrt(zm);
    for (std::size_t i = 0; i < n; ++i) z0[i] = (z0[i] - zm) / scale;

    // dgesvd never returns on some non-finite matrices (it loops forever on a
    // NaN column beside zero columns, or on an infinity), so it never sees one.
    // Non-finite coordinates count as a failed decomposition; a finite run
    // that overflows or collapses to one point (0/0 above) yields a fit no
    // threshold accepts.
    if (!all_finite(ws.matrix_)) {
        if (!all_finite(x) || !all_finite(y)) return std::nullopt;
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return CircleFit{nan, nan, nan, nan};
    }

    const int rows = static_cast<int>(n);
    const int cols = 3;
    const int ldu = 1;
    const int ldvt = 3;
    double singular[3];
    double u_unused[1];
    double vt[9];
    int info = 0;

    int lwork = -1;
    double optimal = 0.0;
    dgesvd_("N", "A", &rows, &cols, ws.matrix_.data(), &rows, singular, u_unused, &ldu, vt, &ldvt,
            &optimal, &lwork, &info, 1, 1);
    if (info != 0) return std::nullopt;
    lwork = std::max(1, static_cast<int>(optimal));
    if (ws.work_.size() < static_cast<std::size_t>(lwork)) ws.work_.resize(lwork);
    dgesvd_("N", "A", &rows, &cols, ws.matrix_.data(), &rows, singular, u_unused, &ldu, vt, &ldvt,
            ws.work_.data(), &lwork, &info, 1, 1);
    if (info != 0) return std::nullopt;

    // The right singular vector of the smallest singular value: row 2 of V^T.
    double a0 = vt[2];
    const double a1 = vt[5];
    const double a2 = vt[8];
    a0 = a0 / scale;
    const double a3 = -zm * a0;

    CircleFit fit;
    fit.cx = mx + (a1 * -0.5) / a0;
    fit.cy = my + (a2 * -0.5) / a0;
    fit.r = std::sqrt(a1 * a1 + a2 * a2 - 4.0 * a0 * a3) * 0.5 / std::abs(a0);

    double sq_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dx = x[i] - fit.cx;
        const double dy = y[i] - fit.cy;
        const double e = std::sqrt(dx * dx + dy * dy) - fit.r;
        sq_sum += e * e;
    }
    fit.rmse = std::sqrt(sq_sum / static_cast<double>(n));
    return fit;
}

std::optional<CircleFit> taubin_circle_fit(std::span<const double> x, std::span<const double> y) {
    FitWorkspace ws;
    return taubin_circle_fit(x, y, ws);
}

}  // namespace velmora

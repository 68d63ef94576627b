// Taubin's circle fit, bit for bit what LAPACK's dgesvd gives, faster.
//
// Reading guide. The fit (taubin_circle_fit_within, at the bottom) is one
// pass and one decomposition:
//   1. Centre the points on their mean (mx, my) and build the n x 3 matrix M
//      with columns Z0 = (Z - mean Z) / scale, X, Y, where Z = X^2 + Y^2 and
//      scale = 2 sqrt(mean Z). The sums run in index order: their rounding is
//      part of the result.
//   2. The circle is the right singular vector of M's smallest singular
//      value, row 2 of V^T: a0 Z + a1 X + a2 Y + a3 = 0 with a3 = -mean Z a0,
//      so centre (mx - a1 / 2a0, my - a2 / 2a0) and the radius follow.
//   3. The RMSE of the radial errors, stopped early once it exceeds max_rmse
//      (the circle segment decomposition only asks whether it stays within).
// Step 2 is where the speed comes from. dgesvd('N', 'A') on a tall matrix
// first checks whether M needs rescaling (one pass for its largest
// magnitude), queries its workspace, then runs QR, the bidiagonal reduction
// of R and the bidiagonal QR iteration. svd_route() reads once from LAPACK
// the thresholds dgesvd uses; rescaled() settles the rescaling from the sums
// step 1 already has, so the extra pass is needed only for tiny or huge
// coordinates; qr_svd() then calls the same routines with the same
// arguments, so the result cannot differ. Short or rescaled matrices take
// plain_svd(), dgesvd itself. Non-finite input never reaches LAPACK, which
// can loop forever on it.

#include "velmora/circle_fit.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <limits>

#include "core/circle_fit_within.hpp"
#include "core/lapack.hpp"
#include "core/lapack_session.hpp"
#include "core/memory.hpp"

namespace velmora {

namespace detail {

struct FitAccess {
    static std::vector<double>& matrix(FitWorkspace& ws) { return ws.matrix_; }
    static std::vector<double>& work(FitWorkspace& ws) { return ws.work_; }
};

}  // namespace detail

namespace {

constexpr int cols = 3;

// What dgesvd decides from before it touches an n x 3 matrix.
struct SvdRoute {
    int qr_rows;   // from this many rows on it starts with a QR decomposition
    double small;  // it rescales a matrix whose largest magnitude lies
    double big;    // below small or above big
    int qr_lwork;  // its workspace on the QR route
};

// Read from LAPACK itself, with the expressions dgesvd uses. The queries
// touch no BLAS state, so they need no LapackSession.
const SvdRoute& svd_route() {
    static const SvdRoute route = [] {
        SvdRoute r{};
        const int ispec = 6;
        const int many = 1 << 20;
        const int unused = 0;
        r.qr_rows =
            std::max(cols, ilaenv_(&ispec, "DGESVD", "NA", &many, &cols, &unused, &unused, 6, 2));
        const double eps = dlamch_("P", 1);
        r.small = std::sqrt(dlamch_("S", 1)) / eps;
        r.big = 1.0 / r.small;
        const int ldu = 1;
        const int ldvt = 3;
        const int query = -1;
        double optimal = 0.0;
        double unused_out[9];
        int info = 0;
        dgesvd_("N", "A", &many, &cols, unused_out, &many, unused_out, unused_out, &ldu, unused_out,
                &ldvt, &optimal, &query, &info, 1, 1);
        r.qr_lwork = std::max(4 * cols, static_cast<int>(optimal));
        return r;
    }();
    return route;
}

// Whether dgesvd would rescale M (entries m, all finite): whether M's largest
// magnitude lies outside [small, big]. The sums settle that for all but tiny
// or huge coordinates. Every Z0, X and Y is bounded through the
// non-negative Z, which z_sum bounds (rounding is monotone): |X| > big would
// make z_sum at least big^2, and |Z0| is at most z_sum / scale. Some Z is at
// least half of zm (its rounding loses far less), and if every |X| and |Y|
// were below small, every Z would be below 3 small^2.
bool rescaled(const SvdRoute& route, std::span<const double> m, double z_sum, double zm,
              double scale) {
    if (z_sum < route.big * route.big && z_sum / scale <= route.big &&
        zm >= 8.0 * route.small * route.small)
        return false;
    double largest = 0.0;
    for (const double v : m) largest = std::max(largest, std::abs(v));
    return !(largest >= route.small && largest <= route.big);
}

// dgesvd('N', 'A') on the column-major rows x 3 matrix a, which it overwrites;
// vt receives V^T (3 x 3, column-major). False when the decomposition fails.
bool plain_svd(double* a, int rows, double* vt, std::vector<double>& work) {
    const int ldu = 1;
    const int ldvt = 3;
    double singular[3];
    double u_unused[1];
    int info = 0;
    int lwork = -1;
    double optimal = 0.0;
    dgesvd_("N", "A", &rows, &cols, a, &rows, singular, u_unused, &ldu, vt, &ldvt, &optimal, &lwork,
            &info, 1, 1);
    if (info != 0) return false;
    lwork = std::max(1, static_cast<int>(optimal));
    if (work.size() < static_cast<std::size_t>(lwork)) work.resize(lwork);
    dgesvd_("N", "A", &rows, &cols, a, &rows, singular, u_unused, &ldu, vt, &ldvt, work.data(),
            &lwork, &info, 1, 1);
    return info == 0;
}

// The steps dgesvd('N', 'A') itself takes on a matrix of at least qr_rows
// rows that needs no rescaling, with the same arguments: QR, then the
// bidiagonal reduction of R, the right vectors and the bidiagonal QR
// iteration, all in place. What it skips is its own pass for the largest
// magnitude (the caller settles the rescaling from its sums) and the
// workspace query. V^T is left in rows 0..2 of a.
bool qr_svd(double* a, int rows, std::vector<double>& work) {
    const int lwork = svd_route().qr_lwork;
    if (work.size() < static_cast<std::size_t>(lwork)) work.resize(lwork);
    double* const w = work.data();
    double singular[3];
    int info = 0;
    const int after_tau = lwork - cols;
    dgeqrf_(&rows, &cols, a, &rows, w, w + cols, &after_tau, &info);
    // zero R's strict lower triangle
    a[1] = a[2] = a[rows + 2] = 0.0;
    // e, tauq, taup, then scratch
    double* const e = w;
    double* const tauq = w + cols;
    double* const taup = w + 2 * cols;
    const int after_taus = lwork - 3 * cols;
    dgebrd_(&cols, &cols, a, &rows, singular, e, tauq, taup, w + 3 * cols, &after_taus, &info);
    dorgbr_("P", &cols, &cols, &cols, a, &rows, taup, w + 3 * cols, &after_taus, &info, 1);
    const int none = 0;
    const int one = 1;
    double unused[1];
    dbdsqr_("U", &cols, &cols, &none, &none, singular, e, a, &rows, unused, &one, unused, &one,
            w + cols, &info, 1);
    return info == 0;
}

}  // namespace

namespace detail {

std::optional<CircleFit> taubin_circle_fit_within(std::span<const double> x,
                                                  std::span<const double> y, FitWorkspace& ws,
                                                  double max_rmse, const SumsShared& sums) {
    if (x.empty() || y.empty() || x.size() != y.size()) return std::nullopt;
    const std::size_t n = x.size();
    if (n > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    const double count = static_cast<double>(n);

    // M is column-major n x 3 with the columns (Z0, X, Y); X and Y are centred.
    // The buffer only grows, so that refits of shorter runs skip the zeroing.
    std::vector<double>& matrix = FitAccess::matrix(ws);
    if (matrix.size() < 3 * n) {
        check_allocation(checked_mul(n, 3), sizeof(double));
        matrix.resize(3 * n);
    }
    double* const z0 = matrix.data();
    double* const x_col = z0 + n;
    double* const y_col = z0 + 2 * n;

    // Every sum runs in index order: its rounding is part of the result.
    CoordinateSums own;
    if (sums.known) {
        own = *sums.known;
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            own.x += x[i];
            own.y += y[i];
        }
    }
    const double mx = own.x / count;
    const double my = own.y / count;
    // The halves' sums ride along: this pass waits on its own sum's additions,
    // and the halves' run beside them at no cost.
    double z_sum = 0.0;
    const std::size_t split = sums.halves ? std::min(sums.split, n) : n;
    const auto centre = [&](std::size_t begin, std::size_t end, CoordinateSums* half) {
        CoordinateSums h;
        for (std::size_t i = begin; i < end; ++i) {
            const double cx = x[i] - mx;
            const double cy = y[i] - my;
            x_col[i] = cx;
            y_col[i] = cy;
            const double z = cx * cx + cy * cy;
            z0[i] = z;
            z_sum += z;
            if (half) {
                h.x += x[i];
                h.y += y[i];
            }
        }
        if (half) *half = h;
    };
    centre(0, split, sums.halves);
    centre(split, n, sums.halves ? sums.halves + 1 : nullptr);
    const double zm = z_sum / count;
    const double scale = 2.0 * std::sqrt(zm);

    // dgesvd never returns on some non-finite matrices (it loops forever on a
    // NaN column beside zero columns, or on an infinity), so it never sees one.
    // Non-finite coordinates count as a failed decomposition; a finite run
    // that overflows or collapses to one point yields a fit no threshold
    // accepts. A finite sum of the non-negative Z bounds every Z, X and Y, and
    // then a positive scale keeps every Z0 finite too.
    if (!std::isfinite(z_sum) || !(scale > 0.0)) {
        const auto finite = [](std::span<const double> v) {
            return std::all_of(v.begin(), v.end(), [](double e) { return std::isfinite(e); });
        };
        if (!finite(x) || !finite(y)) return std::nullopt;
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return CircleFit{nan, nan, nan, nan};
    }
    for (std::size_t i = 0; i < n; ++i) z0[i] = (z0[i] - zm) / scale;

    const SvdRoute& route = svd_route();
    const int rows = static_cast<int>(n);
    double vt[9];
    bool solved = false;
    {
        const LapackSession session(n);
        std::vector<double>& work = FitAccess::work(ws);
        if (rows >= route.qr_rows && !rescaled(route, {z0, 3 * n}, z_sum, zm, scale)) {
            solved = qr_svd(z0, rows, work);
            for (std::size_t c = 0; c < 3; ++c)
                for (std::size_t r = 0; r < 3; ++r) vt[r + 3 * c] = z0[r + n * c];
        } else {
            solved = plain_svd(z0, rows, vt, work);
        }
    }
    if (!solved) return std::nullopt;

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

    // The partial sums only grow, so once one of them puts the RMSE above
    // max_rmse the whole does too: the pass stops there.
    constexpr std::size_t block = 512;
    double sq_sum = 0.0;
    for (std::size_t begin = 0; begin < n; begin += block) {
        if (!(max_rmse >= std::sqrt(sq_sum / count))) break;
        const std::size_t end = std::min(n, begin + block);
        for (std::size_t i = begin; i < end; ++i) {
            const double dx = x[i] - fit.cx;
            const double dy = y[i] - fit.cy;
            const double e = std::sqrt(dx * dx + dy * dy) - fit.r;
            sq_sum += e * e;
        }
    }
    fit.rmse = std::sqrt(sq_sum / count);
    return fit;
}

}  // namespace detail

std::optional<CircleFit> taubin_circle_fit(std::span<const double> x, std::span<const double> y,
                                           FitWorkspace& ws) {
    return detail::taubin_circle_fit_within(x, y, ws, std::numeric_limits<double>::infinity());
}

std::optional<CircleFit> taubin_circle_fit(std::span<const double> x, std::span<const double> y) {
    FitWorkspace ws;
    return taubin_circle_fit(x, y, ws);
}

}  // namespace velmora

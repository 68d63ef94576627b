#pragma once
// Why a solve produced no solution.

namespace velmora::qp {

/// Returned as a value, never thrown.
enum class SolverError {
    Infeasible,   ///< primal or dual infeasible
    NotSolved,    ///< any other status than Solved (AlmostSolved included)
    RefusedData,  ///< data that Clarabel would change before solving: a finite
                  ///< equality bound of 1e20 or more in magnitude, or a finite
                  ///< bound it treats as infinite that the solution breaks
};

}  // namespace velmora::qp

/* C interface of the velmora shim over the Clarabel interior-point solver.
 *
 * One call solves one problem:
 *   minimise 1/2 x'Px + q'x  subject to  Ax + s = b,
 *   s in ZeroCone(zero_cone_dim) x NonnegativeCone(nonneg_cone_dim).
 * All outputs are copied into caller-owned buffers. No panic crosses this
 * boundary: it is reported as VELMORA_CLARABEL_PANIC with its message.
 *
 * The two enumerations below are the only definition of their codes, and
 * velmora/qp/clarabel_settings.h that of the settings: the Rust side is
 * generated from them when the shim is built. */
#ifndef VELMORA_CLARABEL_H
#define VELMORA_CLARABEL_H

#include <stddef.h>
#include <stdint.h>

#include "velmora/qp/clarabel_settings.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes of the functions below. */
typedef enum velmora_clarabel_code {
    VELMORA_CLARABEL_OK = 0,
    VELMORA_CLARABEL_INVALID_ARGUMENT = 1,
    VELMORA_CLARABEL_PANIC = 2,
} velmora_clarabel_code;

/* Solver statuses: Clarabel's SolverStatus, then the shim's own verdict on
 * data that Clarabel would change before solving. */
typedef enum velmora_status {
    VELMORA_STATUS_UNSOLVED = 0,
    VELMORA_STATUS_SOLVED = 1,
    VELMORA_STATUS_PRIMAL_INFEASIBLE = 2,
    VELMORA_STATUS_DUAL_INFEASIBLE = 3,
    VELMORA_STATUS_ALMOST_SOLVED = 4,
    VELMORA_STATUS_ALMOST_PRIMAL_INFEASIBLE = 5,
    VELMORA_STATUS_ALMOST_DUAL_INFEASIBLE = 6,
    VELMORA_STATUS_MAX_ITERATIONS = 7,
    VELMORA_STATUS_MAX_TIME = 8,
    VELMORA_STATUS_NUMERICAL_ERROR = 9,
    VELMORA_STATUS_INSUFFICIENT_PROGRESS = 10,
    VELMORA_STATUS_REFUSED_DATA = 11,
} velmora_status;

/* Read-only compressed sparse column matrix: colptr has n + 1 entries,
 * rowval and nzval have nnz entries, row indices strictly increasing within
 * a column. */
typedef struct velmora_csc_view {
    size_t m;
    size_t n;
    size_t nnz;
    const size_t* colptr;
    const size_t* rowval;
    const double* nzval;
} velmora_csc_view;

typedef struct velmora_qp_problem {
    velmora_csc_view p; /* full symmetric or upper triangle */
    const double* q;
    size_t q_len;
    velmora_csc_view a;
    const double* b;
    size_t b_len;
    size_t zero_cone_dim;
    size_t nonneg_cone_dim;
} velmora_qp_problem;

typedef struct velmora_qp_output {
    int32_t status;    /* velmora_status */
    double* x;         /* caller buffer for the primal solution */
    size_t x_capacity; /* entries available in x */
    size_t x_len;      /* entries written to x */
    char* error;       /* caller buffer for a NUL-terminated message */
    size_t error_capacity;
} velmora_qp_output;

/* Writes Clarabel's defaults for the fields of velmora_clarabel_settings,
 * except that verbose is off, to *settings. Returns VELMORA_CLARABEL_OK, or
 * VELMORA_CLARABEL_INVALID_ARGUMENT for a null pointer. */
int32_t velmora_clarabel_settings_default(velmora_clarabel_settings* settings);

/* Returns VELMORA_CLARABEL_OK with status and x filled, or an error code with
 * the message in output->error (Clarabel's dimension checks arrive as
 * VELMORA_CLARABEL_PANIC).
 * When the dimensions agree, data that no solve can use is answered without
 * running Clarabel: NaN or an infinity in P, q or A, or NaN in b, gives
 * VELMORA_STATUS_NUMERICAL_ERROR; an infinite b entry in a zero-cone row or
 * -inf in a nonnegative-cone row gives VELMORA_STATUS_PRIMAL_INFEASIBLE; a
 * finite b entry of magnitude 1e20 (Clarabel's infinity) or more in a
 * zero-cone row, which Clarabel would clip, gives VELMORA_STATUS_REFUSED_DATA.
 * Nonnegative-cone rows whose b is at or above Clarabel's infinity state
 * nothing and are dropped before the solve; should the solution break one of
 * them with a finite b, the status is VELMORA_STATUS_REFUSED_DATA. */
int32_t velmora_clarabel_solve(const velmora_qp_problem* problem,
                               const velmora_clarabel_settings* settings,
                               velmora_qp_output* output);

#ifdef __cplusplus
}
#endif

#endif

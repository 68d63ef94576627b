/* The Clarabel settings a caller may change; every other setting keeps
 * Clarabel's default. Plain C, shared by the solver shim's C interface and
 * the C++ ClarabelSettings, which derives from this struct.
 *
 * This struct is the only declaration of the settings: the shim's Rust side
 * (its struct, the defaults it reports and the hand-over to Clarabel) is
 * generated from it when the shim is built. A field is named and typed as
 * Clarabel's DefaultSettings field it sets (bool, uint32_t, uint64_t,
 * int32_t, size_t or double). */
#ifndef VELMORA_QP_CLARABEL_SETTINGS_H
#define VELMORA_QP_CLARABEL_SETTINGS_H

#include <stdbool.h>
#include <stdint.h>

typedef struct velmora_clarabel_settings {
    bool verbose;
    uint32_t max_iter;
    double tol_gap_abs;
    double tol_gap_rel;
    double tol_feas;
    double iterative_refinement_reltol;
    double iterative_refinement_abstol;
} velmora_clarabel_settings;

#endif

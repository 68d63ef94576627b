#pragma once
// The whole QP modelling layer.

#include "velmora/qp/constraint.hpp"
#include "velmora/qp/csc_matrix.hpp"
#include "velmora/qp/expression.hpp"
#include "velmora/qp/solver.hpp"
#include "velmora/qp/variables.hpp"

//! C ABI over the Clarabel interior-point solver.
//!
//! One call solves one problem: the caller passes P and A in compressed
//! sparse column form, q and b as dense arrays and the sizes of a zero cone
//! followed by a nonnegative cone. The status, the primal solution and any
//! error message are copied into caller-owned memory; nothing returned points
//! into solver memory. No panic unwinds into the caller: a panic (including
//! Clarabel's own dimension checks) becomes an error code plus its message.

use std::cell::Cell;
use std::os::raw::c_char;
use std::panic::{catch_unwind, AssertUnwindSafe};
use std::sync::Once;

use clarabel::algebra::CscMatrix;
use clarabel::solver::{
    get_infinity, DefaultSettings, DefaultSolver, IPSolver, NonnegativeConeT, SolverStatus,
    ZeroConeT,
};

// The return codes VELMORA_CLARABEL_* (OK: the call completed and `status`
// holds the solver status; INVALID_ARGUMENT: inconsistent arrays, nothing
// was handed to Clarabel; PANIC: a caught panic, Clarabel's own rejection
// of the problem or a bug) and the enum `Status`, from the C header.
include!(concat!(env!("OUT_DIR"), "/codes.rs"));

// The settings that callers may change, `VelmoraClarabelSettings`, with
// `from_clarabel` and `to_clarabel`, from the C header; all others stay at
// Clarabel's defaults.
include!(concat!(env!("OUT_DIR"), "/settings.rs"));

/// A read-only view of a CSC matrix: `colptr` has n + 1 entries, `rowval`
/// and `nzval` have `nnz` entries.
#[repr(C)]
pub struct VelmoraCscView {
    pub m: usize,
    pub n: usize,
    pub nnz: usize,
    pub colptr: *const usize,
    pub rowval: *const usize,
    pub nzval: *const f64,
}

/// The problem: minimise 1/2 x'Px + q'x subject to Ax + s = b, s in
/// ZeroCone(zero_cone_dim) x NonnegativeCone(nonneg_cone_dim).
#[repr(C)]
pub struct VelmoraQpProblem {
    pub p: VelmoraCscView,
    pub q: *const f64,
    pub q_len: usize,
    pub a: VelmoraCscView,
    pub b: *const f64,
    pub b_len: usize,
    pub zero_cone_dim: usize,
    pub nonneg_cone_dim: usize,
}

/// Caller-owned output buffers.
#[repr(C)]
pub struct VelmoraQpOutput {
    /// Solver status, a `Status`.
    pub status: i32,
    /// Buffer for the primal solution, `x_capacity` entries.
    pub x: *mut f64,
    pub x_capacity: usize,
    /// Number of entries written to `x`.
    pub x_len: usize,
    /// Buffer for a NUL-terminated error message, `error_capacity` bytes.
    pub error: *mut c_char,
    pub error_capacity: usize,
}

thread_local! {
    static QUIET_PANICS: Cell<bool> = const { Cell::new(false) };
}

static INSTALL_HOOK: Once = Once::new();

/// Wraps the current panic hook so that panics caught by this shim print
/// nothing; every other panic is reported by the previous hook as before.
fn install_quiet_hook() {
    INSTALL_HOOK.call_once(|| {
        let previous = std::panic::take_hook();
        std::panic::set_hook(Box::new(move |info| {
            if !QUIET_PANICS.try_with(Cell::get).unwrap_or(false) {
                previous(info);
            }
        }));
    });
}

fn panic_message(payload: &(dyn std::any::Any + Send)) -> String {
    if let Some(s) = payload.downcast_ref::<&str>() {
        (*s).to_string()
    } else if let Some(s) = payload.downcast_ref::<String>() {
        s.clone()
    } else {
        "panic with a non-string payload".to_string()
    }
}

/// Runs `body` with panics caught; the caught ones print nothing.
fn quietly<R, F: FnOnce() -> R>(body: F) -> std::thread::Result<R> {
    let was_quiet = QUIET_PANICS.try_with(|q| q.replace(true)).unwrap_or(false);
    let outcome = catch_unwind(AssertUnwindSafe(|| {
        install_quiet_hook();
        body()
    }));
    let _ = QUIET_PANICS.try_with(|q| q.set(was_quiet));
    outcome
}

/// Runs `body` quietly and maps a panic to its code and message.
fn guarded<F: FnOnce() -> Result<i32, String>>(body: F) -> Result<i32, (i32, String)> {
    match quietly(body) {
        Ok(Ok(code)) => Ok(code),
        Ok(Err(message)) => Err((VELMORA_CLARABEL_INVALID_ARGUMENT, message)),
        Err(payload) => Err((VELMORA_CLARABEL_PANIC, panic_message(payload.as_ref()))),
    }
}

/// A slice over C memory; a null pointer is accepted only for length 0.
unsafe fn c_slice<'a, T>(ptr: *const T, len: usize, what: &str) -> Result<&'a [T], String> {
    if len == 0 {
        return Ok(&[]);
    }
    if ptr.is_null() {
        return Err(format!("{what}: null pointer for {len} entries"));
    }
    if !ptr.is_aligned() {
        return Err(format!("{what}: misaligned pointer"));
    }
    // SAFETY: the caller guarantees `len` readable entries at `ptr`.
    Ok(unsafe { std::slice::from_raw_parts(ptr, len) })
}

/// Which part of a matrix to copy.
#[derive(Clone, Copy, PartialEq)]
enum Part {
    Whole,
    /// Rows at or above the diagonal: all that Clarabel reads of P, which it
    /// would otherwise extract from a full symmetric P in a second copy.
    UpperTriangle,
}

/// Copies a CSC view into an owned matrix after checking that it is well
/// formed: column pointers start at 0, never decrease and end at nnz; row
/// indices are below m and strictly increasing within each column.
unsafe fn csc_from_view(
    view: &VelmoraCscView,
    name: &str,
    part: Part,
) -> Result<CscMatrix<f64>, String> {
    let n_plus_one = view
        .n
        .checked_add(1)
        .ok_or_else(|| format!("{name}: column count overflows"))?;
    let colptr = unsafe { c_slice(view.colptr, n_plus_one, name)? };
    let rowval = unsafe { c_slice(view.rowval, view.nnz, name)? };
    let nzval = unsafe { c_slice(view.nzval, view.nnz, name)? };
    if colptr[0] != 0 || colptr[view.n] != view.nnz {
        return Err(format!("{name}: column pointers do not span 0..{}", view.nnz));
    }
    if let Some(col) = colptr.windows(2).position(|w| w[0] > w[1]) {
        return Err(format!("{name}: column pointers decrease at column {col}"));
    }
    // Now every column range lies within 0..nnz.
    for col in 0..view.n {
        let rows = &rowval[colptr[col]..colptr[col + 1]];
        if rows.iter().any(|&r| r >= view.m) {
            return Err(format!("{name}: row index out of range in column {col}"));
        }
        if rows.windows(2).any(|w| w[0] >= w[1]) {
            return Err(format!("{name}: row indices not increasing in column {col}"));
        }
    }
    if part == Part::Whole || view.m != view.n {
        return Ok(CscMatrix::new(
            view.m,
            view.n,
            colptr.to_vec(),
            rowval.to_vec(),
            nzval.to_vec(),
        ));
    }
    // Rows increase within a column, so the upper part is a prefix of it.
    let kept: Vec<usize> = (0..view.n)
        .map(|col| {
            let rows = &rowval[colptr[col]..colptr[col + 1]];
            rows.partition_point(|&r| r <= col)
        })
        .collect();
    let nnz = kept.iter().sum();
    let mut upper = CscMatrix::spalloc((view.m, view.n), nnz);
    let mut next = 0;
    for col in 0..view.n {
        let first = colptr[col];
        let count = kept[col];
        upper.rowval[next..next + count].copy_from_slice(&rowval[first..first + count]);
        upper.nzval[next..next + count].copy_from_slice(&nzval[first..first + count]);
        next += count;
        upper.colptr[col + 1] = next;
    }
    Ok(upper)
}

/// Data that no solve can use. NaN or an infinity in P, q or A, or NaN in b,
/// is a numerical error; an infinite right-hand side that no finite point
/// can meet (either sign in an equality row, -inf in an inequality row)
/// makes the problem infeasible. A finite equality right-hand side of
/// Clarabel's infinity or more in magnitude is refused: Clarabel would clip
/// it to its infinity and report a solution of another problem.
fn screen_values(
    p: &CscMatrix<f64>,
    q: &[f64],
    a: &CscMatrix<f64>,
    b: &[f64],
    zero: usize,
) -> Option<Status> {
    let finite = |v: &f64| v.is_finite();
    if !(p.nzval.iter().all(finite) && q.iter().all(finite) && a.nzval.iter().all(finite))
        || b.iter().any(|v| v.is_nan())
    {
        return Some(Status::NumericalError);
    }
    let (equalities, inequalities) = b.split_at(zero);
    if equalities.iter().any(|v| v.is_infinite()) || inequalities.contains(&f64::NEG_INFINITY) {
        return Some(Status::PrimalInfeasible);
    }
    if equalities.iter().any(|v| v.abs() >= get_infinity()) {
        return Some(Status::RefusedData);
    }
    None
}

/// Inequality rows with a finite bound that Clarabel counts as infinite,
/// taken out of the problem but checked against the solution.
struct DroppedRows {
    a: CscMatrix<f64>,
    b: Vec<f64>,
}

impl DroppedRows {
    /// Whether x meets every dropped row: (row)'x <= b.
    fn hold_at(&self, x: &[f64]) -> bool {
        let mut lhs = vec![0.0; self.b.len()];
        for (col, &xj) in x.iter().enumerate().take(self.a.n) {
            for k in self.a.colptr[col]..self.a.colptr[col + 1] {
                lhs[self.a.rowval[k]] += self.a.nzval[k] * xj;
            }
        }
        lhs.iter().zip(&self.b).all(|(l, b)| l <= b)
    }
}

/// Removes the inequality rows whose bound counts as infinite for Clarabel
/// (they state nothing). Clarabel's own presolve would drop them too, but in
/// 0.9.0 it miscounts the rows of a nonnegative cone that follows a zero
/// cone and then panics or solves with wrong cone sizes. Rows whose bound is
/// finite are returned as well: a solution must still meet them.
fn drop_unbounded_rows(
    a: CscMatrix<f64>,
    b: &[f64],
    zero: usize,
) -> (CscMatrix<f64>, Vec<f64>, Option<DroppedRows>) {
    // The same slightly contracted threshold as Clarabel's presolve.
    let threshold = (1.0 - 10.0 * f64::EPSILON) * get_infinity();
    let keep: Vec<bool> = b
        .iter()
        .enumerate()
        .map(|(row, &v)| row < zero || v <= threshold)
        .collect();
    if keep.iter().all(|&k| k) {
        return (a, b.to_vec(), None);
    }
    let select = |wanted: &dyn Fn(bool, f64) -> bool| -> Vec<bool> {
        keep.iter().zip(b).map(|(&k, &v)| wanted(k, v)).collect()
    };
    let finite_dropped = select(&|k, v| !k && v.is_finite());
    let dropped = finite_dropped.contains(&true).then(|| DroppedRows {
        a: a.select_rows(&finite_dropped),
        b: b.iter().zip(&finite_dropped).filter_map(|(&v, &d)| d.then_some(v)).collect(),
    });
    let b_kept = b
        .iter()
        .zip(&keep)
        .filter_map(|(&v, &k)| k.then_some(v))
        .collect();
    (a.select_rows(&keep), b_kept, dropped)
}

fn status_of(status: SolverStatus) -> Status {
    match status {
        SolverStatus::Unsolved => Status::Unsolved,
        SolverStatus::Solved => Status::Solved,
        SolverStatus::PrimalInfeasible => Status::PrimalInfeasible,
        SolverStatus::DualInfeasible => Status::DualInfeasible,
        SolverStatus::AlmostSolved => Status::AlmostSolved,
        SolverStatus::AlmostPrimalInfeasible => Status::AlmostPrimalInfeasible,
        SolverStatus::AlmostDualInfeasible => Status::AlmostDualInfeasible,
        SolverStatus::MaxIterations => Status::MaxIterations,
        SolverStatus::MaxTime => Status::MaxTime,
        SolverStatus::NumericalError => Status::NumericalError,
        SolverStatus::InsufficientProgress => Status::InsufficientProgress,
    }
}

fn write_message(message: &str, buffer: *mut c_char, capacity: usize) {
    if buffer.is_null() || capacity == 0 {
        return;
    }
    let mut len = message.len().min(capacity - 1);
    while !message.is_char_boundary(len) {
        len -= 1;
    }
    // SAFETY: the caller guarantees `capacity` writable bytes at `buffer`;
    // at most capacity - 1 message bytes plus the terminator are written.
    unsafe {
        std::ptr::copy_nonoverlapping(message.as_ptr(), buffer.cast::<u8>(), len);
        *buffer.add(len) = 0;
    }
}

/// Writes Clarabel's defaults for the settings in `VelmoraClarabelSettings`,
/// except that printing is off (a library must not write to its caller's
/// stdout). This is the one place the defaults come from.
///
/// # Safety
/// `settings` must be null or point to writable memory for the struct.
#[no_mangle]
pub unsafe extern "C" fn velmora_clarabel_settings_default(
    settings: *mut VelmoraClarabelSettings,
) -> i32 {
    if settings.is_null() {
        return VELMORA_CLARABEL_INVALID_ARGUMENT;
    }
    match quietly(DefaultSettings::<f64>::default) {
        Ok(defaults) => {
            let quiet = VelmoraClarabelSettings {
                verbose: false,
                ..VelmoraClarabelSettings::from_clarabel(&defaults)
            };
            // SAFETY: non-null, and the caller guarantees it is writable.
            unsafe { settings.write(quiet) };
            VELMORA_CLARABEL_OK
        }
        Err(_) => VELMORA_CLARABEL_PANIC,
    }
}

unsafe fn solve_impl(
    problem: &VelmoraQpProblem,
    settings: &VelmoraClarabelSettings,
    output: &mut VelmoraQpOutput,
) -> Result<i32, String> {
    let p = unsafe { csc_from_view(&problem.p, "P", Part::UpperTriangle)? };
    let a_full = unsafe { csc_from_view(&problem.a, "A", Part::Whole)? };
    let q = unsafe { c_slice(problem.q, problem.q_len, "q")? };
    let b = unsafe { c_slice(problem.b, problem.b_len, "b")? };
    let (zero, mut nonneg) = (problem.zero_cone_dim, problem.nonneg_cone_dim);
    let dimensions_agree = zero.checked_add(nonneg) == Some(b.len())
        && a_full.m == b.len()
        && a_full.n == q.len()
        && p.n == q.len()
        && p.m == p.n;
    // With inconsistent dimensions the data goes to Clarabel unchanged, so
    // that its own check reports the mismatch.
    let (a, b_reduced, dropped);
    let b = if dimensions_agree {
        if let Some(status) = screen_values(&p, q, &a_full, b, zero) {
            output.status = status as i32;
            return Ok(VELMORA_CLARABEL_OK);
        }
        (a, b_reduced, dropped) = drop_unbounded_rows(a_full, b, zero);
        nonneg = b_reduced.len() - zero;
        &b_reduced[..]
    } else {
        (a, dropped) = (a_full, None);
        b
    };
    let cones = [ZeroConeT(zero), NonnegativeConeT(nonneg)];

    // Clarabel checks that P, q, A, b and the cones agree and panics with
    // its own message when they do not; `guarded` reports that message.
    let mut solver = DefaultSolver::new(&p, q, &a, b, &cones, settings.to_clarabel());
    drop((p, a));
    solver.solve();

    let x = &solver.solution.x;
    if x.len() > output.x_capacity || (output.x.is_null() && !x.is_empty()) {
        return Err(format!(
            "solution buffer holds {} entries but the solution has {}",
            output.x_capacity,
            x.len()
        ));
    }
    if !x.is_empty() {
        // SAFETY: checked above that the buffer holds x.len() entries.
        unsafe { std::ptr::copy_nonoverlapping(x.as_ptr(), output.x, x.len()) };
    }
    output.x_len = x.len();
    let mut status = status_of(solver.solution.status);
    if status == Status::Solved && dropped.is_some_and(|rows| !rows.hold_at(x)) {
        status = Status::RefusedData;
    }
    output.status = status as i32;
    Ok(VELMORA_CLARABEL_OK)
}

/// Solves one problem. Returns VELMORA_CLARABEL_OK with `output.status` and
/// `output.x` filled, or an error code with the message in `output.error`.
///
/// # Safety
/// `problem`, `settings` and `output` must be valid pointers (null is
/// reported as an invalid argument); every array must hold the number of
/// entries that its length field states.
#[no_mangle]
pub unsafe extern "C" fn velmora_clarabel_solve(
    problem: *const VelmoraQpProblem,
    settings: *const VelmoraClarabelSettings,
    output: *mut VelmoraQpOutput,
) -> i32 {
    if output.is_null() {
        return VELMORA_CLARABEL_INVALID_ARGUMENT;
    }
    // The whole body runs inside `guarded`: nothing can unwind into C.
    let result = guarded(|| {
        // SAFETY: non-null, and the caller guarantees it is valid.
        let output = unsafe { &mut *output };
        output.x_len = 0;
        output.status = 0;
        if problem.is_null() || settings.is_null() {
            return Err("null problem or settings".to_string());
        }
        // SAFETY: non-null, and the caller guarantees they are valid.
        unsafe { solve_impl(&*problem, &*settings, output) }
    });
    // SAFETY: as above; the closure's borrow has ended.
    let output = unsafe { &mut *output };
    let (code, message) = match result {
        Ok(code) => (code, String::new()),
        Err((code, message)) => {
            output.x_len = 0;
            (code, message)
        }
    };
    match quietly(|| write_message(&message, output.error, output.error_capacity)) {
        Ok(()) => code,
        Err(_) => VELMORA_CLARABEL_PANIC,
    }
}

#pragma once
// The LAPACK and BLAS routines the core calls (Fortran calling convention, LP64
// integers, hidden string lengths last).

#include <cstddef>

extern "C" {
void dgemv_(const char* trans, const int* m, const int* n, const double* alpha, const double* a,
            const int* lda, const double* x, const int* incx, const double* beta, double* y,
            const int* incy, std::size_t trans_len);
void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
             const int* lda, double* s, double* u, const int* ldu, double* vt, const int* ldvt,
             double* work, const int* lwork, int* info, std::size_t jobu_len,
             std::size_t jobvt_len);
void dgeqrf_(const int* m, const int* n, double* a, const int* lda, double* tau, double* work,
             const int* lwork, int* info);
void dgebrd_(const int* m, const int* n, double* a, const int* lda, double* d, double* e,
             double* tauq, double* taup, double* work, const int* lwork, int* info);
void dorgbr_(const char* vect, const int* m, const int* n, const int* k, double* a, const int* lda,
             const double* tau, double* work, const int* lwork, int* info, std::size_t vect_len);
void dbdsqr_(const char* uplo, const int* n, const int* ncvt, const int* nru, const int* ncc,
             double* d, double* e, double* vt, const int* ldvt, double* u, const int* ldu,
             double* c, const int* ldc, double* work, int* info, std::size_t uplo_len);
void dpbtrf_(const char* uplo, const int* n, const int* kd, double* ab, const int* ldab, int* info,
             std::size_t uplo_len);
void dpbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs, const double* ab,
             const int* ldab, double* b, const int* ldb, int* info, std::size_t uplo_len);
void dgbtrf_(const int* m, const int* n, const int* kl, const int* ku, double* ab, const int* ldab,
             int* ipiv, int* info);
void dgbtrs_(const char* trans, const int* n, const int* kl, const int* ku, const int* nrhs,
             const double* ab, const int* ldab, const int* ipiv, double* b, const int* ldb,
             int* info, std::size_t trans_len);
double dlamch_(const char* cmach, std::size_t cmach_len);
int ilaenv_(const int* ispec, const char* name, const char* opts, const int* n1, const int* n2,
            const int* n3, const int* n4, std::size_t name_len, std::size_t opts_len);
}

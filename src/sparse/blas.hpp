// The few BLAS and LAPACK routines the sparse path calls, by their Fortran
// names (32-bit integers; character arguments are followed by their hidden
// lengths at the end, as gfortran passes them).
#pragma once

#include <cstddef>

extern "C" {
void dtrsm_(const char* side, const char* uplo, const char* transa, const char* diag, const int* m, const int* n,
            const double* alpha, const double* a, const int* lda, double* b, const int* ldb, std::size_t, std::size_t,
            std::size_t, std::size_t);
void dsymm_(const char* side, const char* uplo, const int* m, const int* n, const double* alpha, const double* a,
            const int* lda, const double* b, const int* ldb, const double* beta, double* c, const int* ldc,
            std::size_t, std::size_t);
void dgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k, const double* alpha,
            const double* a, const int* lda, const double* b, const int* ldb, const double* beta, double* c,
            const int* ldc, std::size_t, std::size_t);
void dtrtri_(const char* uplo, const char* diag, const int* n, double* a, const int* lda, int* info, std::size_t,
             std::size_t);
void dlauum_(const char* uplo, const int* n, double* a, const int* lda, int* info, std::size_t);
}

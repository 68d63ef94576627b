#pragma once
// Borrow state of a Python object that wraps core data: any number of shared
// borrows, or one exclusive borrow. It catches re-entrant use of one object
// from Python code that an argument conversion runs; the interpreter lock
// already serialises threads, so a plain counter suffices.

#include "errors.hpp"

namespace velmora::python {

class BorrowFlag {
public:
    class Shared {
    public:
        explicit Shared(BorrowFlag& flag) : flag_(flag) {
            if (flag_.count_ == exclusive) raise(PyExc_RuntimeError, "Already mutably borrowed");
            ++flag_.count_;
        }
        ~Shared() { --flag_.count_; }
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;

    private:
        BorrowFlag& flag_;
    };

    class Exclusive {
    public:
        explicit Exclusive(BorrowFlag& flag) : flag_(flag) {
            if (flag_.count_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
            flag_.count_ = exclusive;
        }
        ~Exclusive() { flag_.count_ = 0; }
        Exclusive(const Exclusive&) = delete;
        Exclusive& operator=(const Exclusive&) = delete;

    private:
        BorrowFlag& flag_;
    };

private:
    static constexpr long exclusive = -1;
    long count_ = 0;
};

}  // namespace velmora::python

// Object references with their ownership written into the type.
//
// Rules of use:
//  - Ref owns one strong reference and releases it when it goes out of scope,
//    so every early return is leak-free.  Make one with Ref::steal(p) from a
//    call that returns a new reference, or Ref::incref(p) from a borrowed one.
//  - A bare PyObject* in class code is borrowed: someone else keeps it alive.
//    It stays valid only until the next call that can run Python code (a call,
//    a conversion, a comparison, an attribute lookup, a DECREF).  Take a Ref to
//    anything that must survive such a call, members of self included.
//  - release() hands the reference to the caller: it is how entry points return.
//  - Members of an instance are replaced with replace_member(), which stores
//    first and releases the old object last, so a destructor that re-enters
//    the object sees it in its new, consistent state.
//
// Errors, everywhere in the frame and the classes: a function that can fail
// returns false, an empty Ref, null or -1 with a Python exception set, and
// nothing else.  Such functions are [[nodiscard]], so that -Werror refuses a
// call whose failure is ignored.  Where "missing" is an answer, the calls
// that say so without raising are used (PyObject_GetOptionalAttr,
// PyDict_GetItemRef).  One error is ever cleared: that of a courtesy which
// failed, module.hpp's traceback entry for a failed import, which would
// otherwise replace the error being reported.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qm {
namespace {

class [[nodiscard]] Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref incref(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Store a new strong reference to `value` in `slot`, then release the old one.
inline void replace_member(PyObject*& slot, PyObject* value) noexcept {
    PyObject* old = slot;
    slot = Py_NewRef(value);
    Py_XDECREF(old);
}

inline void replace_member(PyObject*& slot, Ref&& value) noexcept {
    PyObject* old = slot;
    slot = value.release();
    Py_XDECREF(old);
}

}  // namespace
}  // namespace qm

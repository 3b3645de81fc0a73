// PyRef: the owner of one strong reference to a Python object, and GilRelease: the scope
// that runs core work without the interpreter lock. Every Py_INCREF/Py_DECREF pair and
// every PyEval_SaveThread/RestoreThread pair of the binding lives in one of these two.
#pragma once

#include <Python.h>

#include <utility>

namespace tornquil {

// Move-only owner of a strong reference (or of nothing). The destructor drops the
// reference; release() hands it to the caller, e.g. as a function's new-reference result.
// Must be used, moved and destroyed with the GIL held.
class PyRef {
 public:
  PyRef() = default;
  ~PyRef() { Py_XDECREF(obj_); }
  PyRef(PyRef&& o) noexcept : obj_(o.obj_) { o.obj_ = nullptr; }
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(obj_);
      obj_ = o.obj_;
      o.obj_ = nullptr;
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;

  // Takes over a new reference, as the C API returns it (null stays null, with its
  // exception still set).
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // Takes one more reference to a borrowed object.
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }

  // Gives the reference away; the owner is empty afterwards.
  [[nodiscard]] PyObject* release() { return std::exchange(obj_, nullptr); }

  // Drops the held reference, if any.
  void reset() { Py_CLEAR(obj_); }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}

  PyObject* obj_ = nullptr;
};

// Releases the GIL for its scope and takes it back when the scope ends. No PyObject may
// be touched inside the scope; convert arguments before it, build results after it.
//
// A thread that comes back while the interpreter is finalising is ended inside
// PyEval_RestoreThread by the system's forced unwind. The destructor lets that unwind pass
// (a noexcept destructor would turn it into std::terminate and abort the whole process at
// exit), so such a thread ends quietly, releasing what its frames hold; no scope that can
// end this way may be noexcept.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() noexcept(false) { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace tornquil

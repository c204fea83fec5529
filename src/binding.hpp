// The meeting point of the module with the interpreter and with NumPy:
// owned references, error reporting, the lazily acquired NumPy C-API table,
// the result holder, and the matching and conversion of call arguments.
//
// Errors travel through C++ as one of two exceptions and are turned into
// Python exceptions only at an entry point (see `guard_entry`):
//   PythonError   a Python exception is already pending on this thread;
//   InternalFault an operation that must not fail did; reported as the
//                 process-wide internal-failure exception.
#ifndef VORN_HYST_BINDING_HPP_
#define VORN_HYST_BINDING_HPP_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include <numpy/ndarraytypes.h>

#include "kernels.hpp"

namespace vorn {

// ---------------------------------------------------------------------------
// Errors

struct PythonError {};

class InternalFault {
 public:
  explicit InternalFault(std::string text) : text_(std::move(text)) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Throws PythonError when `failed` is true; for interpreter calls that leave
// an exception set when they fail.
inline void throw_if(bool failed) {
  if (failed) throw PythonError{};
}

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Sets the internal-failure exception (created on first use) with `text`.
void raise_internal_failure(const std::string& text);

// Runs `body` and turns whatever C++ exception it throws into a pending
// Python exception; returns `failure_value` in that case.
template <typename Result, typename Body>
Result guard_entry(Result failure_value, Body&& body) noexcept;

// ---------------------------------------------------------------------------
// The interpreter lock

// Gives the interpreter lock up for the lifetime of the object.
class ReleasedInterpreterLock {
 public:
  ReleasedInterpreterLock() : saved_(PyEval_SaveThread()) {}
  ~ReleasedInterpreterLock() { PyEval_RestoreThread(saved_); }
  ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
  ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

 private:
  PyThreadState* saved_;
};

// ---------------------------------------------------------------------------
// Owned references

// A strong reference, released when the handle goes out of scope. Every
// handle must die with the interpreter lock held.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* object) { return PyRef(object); }
  static PyRef borrow(PyObject* object) {
    if (object != nullptr) Py_IncRef(object);
    return PyRef(object);
  }
  // A new reference from an interpreter call; null means an exception is set.
  static PyRef checked(PyObject* object) {
    throw_if(object == nullptr);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(object_, other.release());  // safe for self-move too
    if (old != nullptr) Py_DecRef(old);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() {
    if (object_ != nullptr) Py_DecRef(object_);
  }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// The exception pending on this thread, taken off the interpreter.
class PendingError {
 public:
  // Takes and normalises the pending exception. An internal failure that
  // comes back from Python is not an ordinary error: it is printed and
  // resumed as a new InternalFault with the same text.
  static PendingError fetch();

  void restore();  // puts the exception back as the pending one
  PyObject* value() const { return value_.get(); }
  PyObject* traceback() const { return traceback_.get(); }
  PyObject* take_value() { return value_.release(); }
  // "PyErr { type: ..., value: ..., traceback: ... }"
  std::string render() const;

 private:
  PyRef type_, value_, traceback_;
};

// An InternalFault whose text ends with ": " and the pending error.
[[noreturn]] void fault_with_pending(const std::string& text);

// `__qualname__` of a type, or "<failed to extract type name>".
std::string qualname_of(PyObject* type);
// `__qualname__` of an object's type, the same way.
std::string type_qualname(PyObject* object);

inline bool has_type_flag(PyObject* object, unsigned long flag) {
  return (PyType_GetFlags(Py_TYPE(object)) & flag) != 0;
}

// `str(object)` as UTF-8; lone surrogates become U+FFFD per byte. Throws
// PythonError when `str()` itself fails.
std::string to_utf8_lossy(PyObject* object);

// ---------------------------------------------------------------------------
// NumPy's C-API table, acquired at first use

PyTypeObject* get_type_object();  // NumPy's ndarray type
PyArray_Descr* ubyte_descr();     // new reference to the uint8 descriptor
bool equiv_types(PyArray_Descr* a, PyArray_Descr* b);
// Steals `descr`; returns null with NumPy's error set on failure.
PyObject* new_array_from_descr(PyTypeObject* subtype, PyArray_Descr* descr, int nd,
                               const npy_intp* dims, const npy_intp* strides, void* data,
                               int flags);
// Steals `base`; returns -1 with an error set on failure.
int set_base_object(PyObject* array, PyObject* base);

// ---------------------------------------------------------------------------
// The result holder

using ReleaseRoutine = void (*)(std::uint8_t* data, std::size_t length, std::size_t capacity);

// Frees a byte buffer from the process allocator.
void drop_vec(std::uint8_t* data, std::size_t length, std::size_t capacity);

// An owned byte buffer from the process allocator. Large buffers ask for
// transparent huge pages, which spares most of the page faults of a fresh
// multi-megabyte block.
class PixelBuffer {
 public:
  PixelBuffer() = default;
  // An uninitialised buffer of `length` bytes; raises MemoryError (as
  // PythonError) when it cannot be had.
  static PixelBuffer allocate(std::size_t length);

  PixelBuffer(PixelBuffer&& other) noexcept
      : data_(std::exchange(other.data_, empty_data())),
        length_(std::exchange(other.length_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  PixelBuffer& operator=(PixelBuffer&&) = delete;
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;
  ~PixelBuffer() { drop_vec(data_, length_, capacity_); }

  std::uint8_t* data() const { return data_; }
  std::size_t length() const { return length_; }
  std::size_t capacity() const { return capacity_; }
  // Gives up ownership; the caller must pass the three fields to drop_vec.
  void forget() {
    data_ = empty_data();
    length_ = capacity_ = 0;
  }

 private:
  // A valid, never dereferenced address for a buffer of zero bytes, so that
  // NumPy never sees a null data pointer and allocates memory of its own.
  static std::uint8_t* empty_data();

  std::uint8_t* data_ = empty_data();
  std::size_t length_ = 0;
  std::size_t capacity_ = 0;
};

// A new PySliceContainer that owns `buffer` from now on, even on failure.
PyRef new_slice_container(PixelBuffer&& buffer);

// ---------------------------------------------------------------------------
// Pixels in and out

// Where the image's bytes are, read from the array while the lock is held.
PixelLayout layout_of(PyArrayObject* array);

// A new C-contiguous (H, W, 3) uint8 array over `buffer`, which its base owns.
PyObject* wrap_result(PixelBuffer&& buffer, const PixelLayout& shape);

// The image's bytes as row-major RGB in a buffer the caller owns. The copy
// holds the lock: no other thread can free or replace the array's memory
// (resize, __setstate__) while it is read.
PixelBuffer copy_image(PyArrayObject* array);

// ---------------------------------------------------------------------------
// Arguments of monochrome

// The parameters in their order, which is also the order of the slots.
enum Slot : std::size_t { kImg, kBlurN, kWindowRadius, kMinProminence, kMinDistance, kPercentage };
inline constexpr std::size_t kParameterCount = kPercentage + 1;
inline constexpr std::array<const char*, kParameterCount> kParameterNames = {
    "img", "blur_n", "window_radius", "min_prominence", "min_distance", "percentage"};

// One borrowed reference per parameter, null where the argument is absent.
using ArgumentSlots = std::array<PyObject*, kParameterCount>;

ArgumentSlots match_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// A new reference to `object`, known to be a 3-dimensional uint8 ndarray.
PyRef to_uint8_array3(PyObject* object);
std::uint64_t to_unsigned(PyObject* object);
double to_double(PyObject* object);

// Adds "while processing '<name>'" to the pending exception, if it can.
void note_argument(const char* name);

// ---------------------------------------------------------------------------

template <typename Result, typename Body>
Result guard_entry(Result failure_value, Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonError&) {
    if (PyErr_Occurred() == nullptr) raise_internal_failure("error return without exception set");
  } catch (const InternalFault& fault) {
    raise_internal_failure(fault.text());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    raise_internal_failure("unexpected C++ exception");
  }
  return failure_value;
}

}  // namespace vorn

#endif  // VORN_HYST_BINDING_HPP_

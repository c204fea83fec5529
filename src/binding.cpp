#include "binding.hpp"

#include "platform.hpp"

#if defined(VORN_HUGE_PAGES)
#include <sys/mman.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace vorn {
namespace {

// ---------------------------------------------------------------------------
// Process-wide cells

// A value filled at most once per process and never replaced. A thread that
// finds it empty gives up the interpreter lock before it waits for another
// thread's filling, so that a filling step that itself releases the lock (an
// import does) cannot deadlock against the waiter. A failed filling leaves
// the cell empty for the next use. Re-entry from the filling thread (through
// Python code the filling runs) fills again instead of waiting on itself.
template <typename T>
class OnceCell {
 public:
  template <typename Fill>
  T get(Fill&& fill) {
    if (ready_.load(std::memory_order_acquire)) return value_;
    if (filler_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
      return fill();
    }
    PyThreadState* saved = PyEval_SaveThread();
    std::unique_lock<std::mutex> lock(mutex_);
    if (ready_.load(std::memory_order_acquire)) {
      lock.unlock();
      PyEval_RestoreThread(saved);
      return value_;
    }
    PyEval_RestoreThread(saved);
    filler_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    struct ClearFiller {
      std::atomic<std::thread::id>& filler;
      ~ClearFiller() { filler.store(std::thread::id(), std::memory_order_relaxed); }
    } clear_filler{filler_};
    T value = fill();
    value_ = value;
    ready_.store(true, std::memory_order_release);
    return value;
  }

  // The value if filled, else `fallback`; never waits.
  T peek(T fallback) const {
    return ready_.load(std::memory_order_acquire) ? value_ : fallback;
  }

 private:
  std::atomic<bool> ready_{false};
  T value_{};
  std::mutex mutex_;
  std::atomic<std::thread::id> filler_{};
};

OnceCell<PyObject*> internal_failure_type_cell;
OnceCell<PyObject*> add_note_name_cell;
OnceCell<void**> PY_ARRAY_API;
OnceCell<PyObject*> holder_type_cell;

constexpr const char* kInternalFailureName = "vorn_hyst.InternalFailure";
constexpr const char* kInternalFailureDoc =
    "An internal fault of vorn_hyst. It derives from BaseException, like SystemExit, so that "
    "ordinary `except Exception` handlers do not swallow it.";

PyObject* internal_failure_type() {
  return internal_failure_type_cell.get([] {
    PyObject* type = PyErr_NewExceptionWithDoc(kInternalFailureName, kInternalFailureDoc,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) {
      // Without this type no internal fault can be reported at all.
      PyErr_Print();
      std::fputs("vorn_hyst: cannot create the internal-failure exception type\n", stderr);
      std::abort();
    }
    return type;
  });
}

// ---------------------------------------------------------------------------
// Text helpers

std::string hex(unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%llx", value);
  return text;
}

// Escapes a string the way a debugging printout quotes it.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          out += "\\u{" + hex(byte) + "}";
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

// UTF-8 of a str object into `out`; false, with the interpreter's error
// pending, when it cannot be had.
bool utf8_of(PyObject* text, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}


// The text that the interpreter prints for a traceback object.
std::string format_traceback(PyObject* traceback) {
  PyRef io = PyRef::checked(PyImport_ImportModule("io"));
  PyRef buffer = PyRef::checked(PyObject_CallMethod(io.get(), "StringIO", nullptr));
  throw_if(PyTraceBack_Print(traceback, buffer.get()) != 0);
  PyRef text = PyRef::checked(PyObject_CallMethod(buffer.get(), "getvalue", nullptr));
  std::string out;
  throw_if(!utf8_of(text.get(), out));
  return out;
}

// `__name__` of an object's type, for "<unprintable ... object>".
bool type_name(PyObject* object, std::string& out) {
  PyRef name = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  if (!name || !PyUnicode_Check(name.get()) || !utf8_of(name.get(), out)) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// What stands for an object whose text cannot be had, the failure pending:
// the failure is written out as unraisable, and the text names the type.
std::string unprintable(PyObject* object) {
  PyErr_WriteUnraisable(object);
  std::string type;
  return type_name(object, type) ? "<unprintable " + type + " object>" : "<unprintable object>";
}

// repr() of an object; a repr that fails must not replace the error being
// rendered, so it gets the unprintable text instead.
std::string repr_or_unprintable(PyObject* object) {
  PyRef repr = PyRef::steal(PyObject_Repr(object));
  std::string out;
  if (repr && utf8_of(repr.get(), out)) return out;
  return unprintable(object);
}

}  // namespace

// ---------------------------------------------------------------------------
// Errors

void raise(PyObject* type, const std::string& message) {
  // Not PyErr_SetString: a keyword name may hold NUL, which would end a C string.
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace");
  if (text != nullptr) {  // else MemoryError is pending instead
    PyErr_SetObject(type, text);
    Py_DecRef(text);
  }
  throw PythonError{};
}

void raise_internal_failure(const std::string& text) {
  PyObject* type = internal_failure_type();
  PyRef value = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                                  "replace"));
  if (!value) return;  // MemoryError is pending instead
  PyErr_SetObject(type, value.get());
}

PendingError PendingError::fetch() {
  PendingError error;
  PyObject *type = nullptr, *raw_value = nullptr, *raw_traceback = nullptr;
  PyErr_Fetch(&type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&type, &raw_value, &raw_traceback);
  if (raw_traceback != nullptr && raw_value != nullptr) {
    PyException_SetTraceback(raw_value, raw_traceback);
  }
  error.type_ = PyRef::steal(type);
  error.value_ = PyRef::steal(raw_value);
  error.traceback_ = PyRef::steal(raw_traceback);

  PyObject* internal = internal_failure_type_cell.peek(nullptr);
  if (internal != nullptr && type == internal) {
    std::string text = "Unwrapped panic from Python code";
    if (PyRef str = PyRef::steal(PyObject_Str(raw_value)); !str || !utf8_of(str.get(), text)) {
      PyErr_Clear();
    }
    std::fputs("--- vorn_hyst: an internal failure fetched from Python is resumed here\n"
               "Python stack trace below:\n",
               stderr);
    error.restore();
    PyErr_PrintEx(0);
    throw InternalFault(text);
  }
  return error;
}

void PendingError::restore() {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

std::string PendingError::render() const {
  std::string out = "PyErr { type: " + repr_or_unprintable(type_.get());
  out += ", value: " + repr_or_unprintable(value_.get());
  out += ", traceback: ";
  if (traceback_) {
    std::string text;
    try {
      text = format_traceback(traceback_.get());
    } catch (const PythonError&) {
      text = unprintable(traceback_.get());
    }
    out += "Some(" + quoted(text) + ")";
  } else {
    out += "None";
  }
  return out + " }";
}

void fault_with_pending(const std::string& text) {
  PendingError error = PendingError::fetch();
  throw InternalFault(text + ": " + error.render());
}

std::string type_qualname(PyObject* object) {
  return qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(object)));
}

std::string qualname_of(PyObject* type) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__qualname__"));
  std::string out;
  if (!name || !PyUnicode_Check(name.get()) || !utf8_of(name.get(), out)) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return out;
}

std::string to_utf8_lossy(PyObject* object) {
  PyRef text = PyRef::checked(PyObject_Str(object));
  std::string out;
  if (utf8_of(text.get(), out)) return out;
  // Lone surrogates: keep the code units' bytes, each bad one shown as U+FFFD.
  PyErr_Clear();
  PyRef bytes = PyRef::checked(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  char* data = nullptr;
  Py_ssize_t size = 0;
  throw_if(PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0);
  PyRef decoded = PyRef::checked(PyUnicode_DecodeUTF8(data, size, "replace"));
  throw_if(!utf8_of(decoded.get(), out));
  return out;
}

// ---------------------------------------------------------------------------
// NumPy's C-API table

namespace {

constexpr unsigned int kCompiledAbiVersion = 0x2000000;
constexpr unsigned int kMinimumFeatureVersion = 0xc;
constexpr int kLittleEndian = 1;  // NPY_CPU_LITTLE

// Filled under PY_ARRAY_API's guard, so they need no guard of their own.
std::string core_name_cache;
std::string mod_name_cache;

const std::string& numpy_core_name() {
  if (!core_name_cache.empty()) return core_name_cache;
  PyRef numpy_name = PyRef::checked(PyUnicode_FromString("numpy"));
  PyRef numpy = PyRef::checked(PyImport_Import(numpy_name.get()));
  PyRef version = PyRef::checked(PyObject_GetAttrString(numpy.get(), "__version__"));
  PyRef lib_name = PyRef::checked(PyUnicode_FromString("numpy.lib"));
  PyRef lib = PyRef::checked(PyImport_Import(lib_name.get()));
  PyRef numpy_version = PyRef::checked(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
  PyRef parsed = PyRef::checked(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
  PyRef major_object = PyRef::checked(PyObject_GetAttrString(parsed.get(), "major"));
  const long major = PyLong_AsLong(major_object.get());
  throw_if(major == -1 && PyErr_Occurred() != nullptr);
  if (major < 0) raise(PyExc_OverflowError, "number too small to fit in target type");
  if (major > 255) raise(PyExc_OverflowError, "number too large to fit in target type");
  core_name_cache = major >= 2 ? "numpy._core" : "numpy.core";
  return core_name_cache;
}

const std::string& mod_name() {
  if (mod_name_cache.empty()) mod_name_cache = numpy_core_name() + ".multiarray";
  return mod_name_cache;
}

void** acquire_array_api() {
  PyRef name = PyRef::checked(PyUnicode_FromString(mod_name().c_str()));
  PyRef multiarray = PyRef::checked(PyImport_Import(name.get()));
  PyRef capsule = PyRef::checked(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (Py_TYPE(capsule.get()) != &PyCapsule_Type) {
    raise(PyExc_TypeError,
          "'" + type_qualname(capsule.get()) + "' object is not an instance of 'PyCapsule'");
  }
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  throw_if(table == nullptr);
  // The table lives inside the capsule: keep the capsule for the process.
  capsule.release();

  using VersionFn = unsigned int (*)();
  using EndiannessFn = int (*)();
  const unsigned int abi = reinterpret_cast<VersionFn>(table[0])();
  if (abi > kCompiledAbiVersion) {
    raise(PyExc_RuntimeError, "module compiled against ABI version 0x" + hex(kCompiledAbiVersion) +
                                  " but this version of numpy is 0x" + hex(abi));
  }
  const unsigned int feature = reinterpret_cast<VersionFn>(table[211])();
  if (feature < kMinimumFeatureVersion) {
    raise(PyExc_RuntimeError,
          "module was compiled against NumPy C-API version 0x" + hex(kMinimumFeatureVersion) +
              " (NumPy 1.15) but the running NumPy has C-API version 0x" + hex(feature));
  }
  if (reinterpret_cast<EndiannessFn>(table[210])() != kLittleEndian) {
    raise(PyExc_RuntimeError,
          "module compiled as little endian, but detected different endianness at runtime");
  }
  return table;
}

void** array_api() {
  try {
    return PY_ARRAY_API.get(acquire_array_api);
  } catch (const PythonError&) {
    fault_with_pending("Failed to access NumPy array API capsule");
  }
}

template <typename Fn>
Fn api_entry(std::size_t index) {
  return reinterpret_cast<Fn>(array_api()[index]);
}

}  // namespace

PyTypeObject* get_type_object() { return static_cast<PyTypeObject*>(array_api()[2]); }

PyArray_Descr* ubyte_descr() {
  auto* descr = api_entry<PyArray_Descr* (*)(int)>(45)(NPY_UBYTE);
  if (descr == nullptr) fault_with_pending("PyArray_DescrFromType(NPY_UBYTE) failed");
  return descr;
}

bool equiv_types(PyArray_Descr* a, PyArray_Descr* b) {
  return api_entry<unsigned char (*)(PyArray_Descr*, PyArray_Descr*)>(182)(a, b) != 0;
}

PyObject* new_array_from_descr(PyTypeObject* subtype, PyArray_Descr* descr, int nd,
                               const npy_intp* dims, const npy_intp* strides, void* data,
                               int flags) {
  using Fn = PyObject* (*)(PyTypeObject*, PyArray_Descr*, int, const npy_intp*, const npy_intp*,
                           void*, int, PyObject*);
  return api_entry<Fn>(94)(subtype, descr, nd, dims, strides, data, flags, nullptr);
}

int set_base_object(PyObject* array, PyObject* base) {
  return api_entry<int (*)(PyObject*, PyObject*)>(282)(array, base);
}

// ---------------------------------------------------------------------------
// Pixel buffers

namespace {

#if defined(VORN_HUGE_PAGES)
constexpr std::size_t kHugePage = std::size_t{2} << 20;
#endif

[[noreturn]] void raise_allocation_failure(std::size_t length) {
  raise(PyExc_MemoryError, "memory allocation of " + std::to_string(length) + " bytes failed");
}

}  // namespace

std::uint8_t* PixelBuffer::empty_data() {
  alignas(16) static std::uint8_t anchor = 0;
  return &anchor;
}

PixelBuffer PixelBuffer::allocate(std::size_t length) {
  PixelBuffer buffer;
  if (length == 0) return buffer;
  void* block = nullptr;
#if defined(VORN_HUGE_PAGES)
  if (length >= kHugePage) {
    // aligned_alloc wants a whole number of alignments.
    const std::size_t rounded = (length + kHugePage - 1) / kHugePage * kHugePage;
    if (rounded < length) raise_allocation_failure(length);
    block = std::aligned_alloc(kHugePage, rounded);
    if (block != nullptr) {
      // Huge pages only where they are whole: a partly used last one would
      // be faulted in full, up to 2 MiB of resident memory past the image.
      // A hint: failure only costs speed.
      madvise(block, length / kHugePage * kHugePage, MADV_HUGEPAGE);
      buffer.capacity_ = rounded;
    }
  }
#endif
  if (buffer.capacity_ == 0) {
    block = std::malloc(length);
    buffer.capacity_ = length;
  }
  if (block == nullptr) {
    buffer.capacity_ = 0;
    raise_allocation_failure(length);
  }
  buffer.data_ = static_cast<std::uint8_t*>(block);
  buffer.length_ = length;
  return buffer;
}

void drop_vec(std::uint8_t* data, std::size_t /*length*/, std::size_t capacity) {
  if (capacity != 0) std::free(data);
}

// ---------------------------------------------------------------------------
// The result holder

namespace {

struct SliceContainer {
  PyObject_HEAD
  std::uint8_t* data;
  std::size_t length;
  std::size_t capacity;
  ReleaseRoutine release;
};

void slice_container_dealloc(PyObject* self) {
  auto* holder = reinterpret_cast<SliceContainer*>(self);
  PyTypeObject* type = Py_TYPE(self);
  // Python code can make an instance without new_slice_container (a
  // __new__ put into the type's writable dict): it owns nothing to release.
  if (holder->release != nullptr) holder->release(holder->data, holder->length, holder->capacity);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (free_slot == nullptr) {
    PyErr_WriteUnraisable(self);
  } else {
    free_slot(self);
  }
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

char kHolderDoc[] = "Keeps the memory of a vorn_hyst result array alive.";

PyType_Slot kHolderSlots[] = {
    {Py_tp_doc, kHolderDoc},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {0, nullptr},
};

// A static name, because PyType_FromSpec before 3.11 keeps pointing at it.
PyType_Spec kHolderSpec = {
    /* name */ "builtins.PySliceContainer",
    /* basicsize */ static_cast<int>(sizeof(SliceContainer)),
    /* itemsize */ 0,
    /* flags */ Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    /* slots */ kHolderSlots,
};

PyObject* make_holder_type() {
  PyObject* type = PyType_FromSpec(&kHolderSpec);
  if (type != nullptr) return type;
  PendingError cause = PendingError::fetch();
  PyRef wrapper = PyRef::steal(PyObject_CallFunction(
      PyExc_RuntimeError, "s", "An error occurred while initializing class PySliceContainer"));
  if (wrapper) {
    if (cause.traceback() != nullptr) PyException_SetTraceback(wrapper.get(), cause.traceback());
    PyException_SetCause(wrapper.get(), cause.take_value());
    PyErr_SetObject(PyExc_RuntimeError, wrapper.get());
  }
  PyErr_WriteUnraisable(nullptr);
  throw InternalFault("failed to create type object for `PySliceContainer`");
}

}  // namespace

PyRef new_slice_container(PixelBuffer&& buffer) {
  PixelBuffer owned(std::move(buffer));
  auto* type = reinterpret_cast<PyTypeObject*>(holder_type_cell.get(make_holder_type));
  auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  PyRef object = no_args ? PyRef::steal(base_new(type, no_args.get(), nullptr)) : PyRef();
  if (!object) fault_with_pending("Failed to create slice container");
  auto* holder = reinterpret_cast<SliceContainer*>(object.get());
  holder->data = owned.data();
  holder->length = owned.length();
  holder->capacity = owned.capacity();
  holder->release = drop_vec;
  owned.forget();
  return object;
}

// ---------------------------------------------------------------------------
// Argument matching and conversion

namespace {

[[noreturn]] void raise_unexpected_keyword(PyObject* name) {
  std::string text;
  try {
    text = to_utf8_lossy(name);
  } catch (const PythonError&) {
    text = unprintable(name);
  }
  raise(PyExc_TypeError, "monochrome() got an unexpected keyword argument '" + text + "'");
}

// The slot index of a keyword name, or kParameterCount when it names none.
std::size_t parameter_index(PyObject* name) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return kParameterCount;
  }
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    const char* candidate = kParameterNames[i];
    if (std::strlen(candidate) == static_cast<std::size_t>(size) &&
        std::memcmp(candidate, text, static_cast<std::size_t>(size)) == 0) {
      return i;
    }
  }
  return kParameterCount;
}

}  // namespace

ArgumentSlots match_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ArgumentSlots slots{};
  const auto positional = static_cast<std::size_t>(nargs);
  if (positional > kParameterCount) {
    raise(PyExc_TypeError, "monochrome() takes from 1 to 6 positional arguments but " +
                               std::to_string(positional) + " were given");
  }
  for (std::size_t i = 0; i < positional; ++i) slots[i] = args[i];

  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GetItem(kwnames, k);
    throw_if(name == nullptr);
    const std::size_t index = parameter_index(name);
    if (index == kParameterCount) raise_unexpected_keyword(name);
    if (slots[index] != nullptr) {
      raise(PyExc_TypeError, std::string("monochrome() got multiple values for argument '") +
                                 kParameterNames[index] + "'");
    }
    slots[index] = args[positional + static_cast<std::size_t>(k)];
  }
  if (slots[kImg] == nullptr) {
    raise(PyExc_TypeError, "monochrome() missing 1 required positional argument: 'img'");
  }
  return slots;
}

PyRef to_uint8_array3(PyObject* object) {
  PyTypeObject* ndarray = get_type_object();
  bool accepted = PyType_IsSubtype(Py_TYPE(object), ndarray) != 0;
  if (accepted) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    accepted = PyArray_NDIM(array) == 3;
    if (accepted) {
      PyArray_Descr* ubyte = ubyte_descr();
      PyRef ubyte_ref = PyRef::steal(reinterpret_cast<PyObject*>(ubyte));
      PyArray_Descr* own = PyArray_DESCR(array);
      accepted = own == ubyte || equiv_types(own, ubyte);
    }
  }
  if (accepted) return PyRef::borrow(object);
  const std::string expected = qualname_of(reinterpret_cast<PyObject*>(ndarray));
  if (object == Py_None) raise(PyExc_TypeError, "'None' is not an instance of '" + expected + "'");
  raise(PyExc_TypeError,
        "'" + type_qualname(object) + "' object is not an instance of '" + expected + "'");
}

std::uint64_t to_unsigned(PyObject* object) {
  PyRef index;
  PyObject* integer = object;
  if (!has_type_flag(object, Py_TPFLAGS_LONG_SUBCLASS)) {
    index = PyRef::checked(PyNumber_Index(object));
    integer = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  throw_if(value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr);
  return value;
}

double to_double(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  throw_if(value == -1.0 && PyErr_Occurred() != nullptr);
  return value;
}

void note_argument(const char* name) {
  PendingError error = PendingError::fetch();
  PyObject* add_note = add_note_name_cell.get([] {
    PyObject* interned = PyUnicode_InternFromString("add_note");
    throw_if(interned == nullptr);
    return interned;
  });
  const std::string note = std::string("while processing '") + name + "'";
  PyRef method = PyRef::steal(PyObject_GetAttr(error.value(), add_note));
  PyRef result = method ? PyRef::steal(PyObject_CallFunction(method.get(), "s", note.c_str()))
                        : PyRef();
  if (!result) PyErr_Clear();
  error.restore();
}

// ---------------------------------------------------------------------------
// Pixels in and out

PixelLayout layout_of(PyArrayObject* array) {
  const npy_intp* dims = PyArray_DIMS(array);
  const auto height = static_cast<std::size_t>(dims[0]);
  const auto width = static_cast<std::size_t>(dims[1]);
  // NumPy keeps an array's element count within npy_intp, but a broadcast
  // view's count is only bounded by that, so check rather than trust.
  if (width != 0 && height > static_cast<std::size_t>(PTRDIFF_MAX) / 3 / width) {
    throw InternalFault("capacity overflow");
  }
  const npy_intp* strides = PyArray_STRIDES(array);
  const int flags = PyArray_FLAGS(array);
  PixelLayout layout;
  layout.data = static_cast<const std::uint8_t*>(PyArray_DATA(array));
  layout.height = height;
  layout.width = width;
  layout.row_stride = strides[0];
  layout.column_stride = strides[1];
  layout.channel_stride = strides[2];
  layout.contiguous = (flags & NPY_ARRAY_C_CONTIGUOUS) != 0 && (flags & NPY_ARRAY_ALIGNED) != 0;
  return layout;
}

PyObject* wrap_result(PixelBuffer&& buffer, const PixelLayout& shape) {
  std::uint8_t* data = buffer.data();
  PyRef holder = new_slice_container(std::move(buffer));
  const npy_intp dims[3] = {static_cast<npy_intp>(shape.height),
                            static_cast<npy_intp>(shape.width), 3};
  const bool empty = shape.height == 0 || shape.width == 0;
  const npy_intp strides[3] = {empty ? 0 : static_cast<npy_intp>(3 * shape.width), empty ? 0 : 3,
                               empty ? 0 : 1};
  PyRef array = PyRef::steal(new_array_from_descr(get_type_object(), ubyte_descr(), 3, dims,
                                                  strides, data, NPY_ARRAY_WRITEABLE));
  if (!array) {
    PyErr_WriteUnraisable(nullptr);
    throw InternalFault("PyObject pointer is null");
  }
  throw_if(set_base_object(array.get(), holder.release()) != 0);
  return array.release();
}

PixelBuffer copy_image(PyArrayObject* array) {
  const PixelLayout layout = layout_of(array);
  PixelBuffer pixels = PixelBuffer::allocate(layout.bytes());
  kernels::copy_pixels(layout, pixels.data());
  return pixels;
}

}  // namespace vorn

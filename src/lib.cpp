// The module `vorn_hyst`: its definition and start-up, and the `monochrome`
// call from the arguments to the result array.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "binding.hpp"
#include "level_fix.hpp"

namespace vorn {
namespace {

// ---------------------------------------------------------------------------
// Checks

constexpr std::uint64_t kMaxBlurN = 1024;
constexpr std::uint64_t kBinRangeEnd = 256;  // exclusive end of 1..256

// Shortest digits that read back as the same double, positional, no exponent.
// The digits come from the shortest scientific form: the shortest fixed form
// would spell out every integer digit of a large value (-40346264083425072
// instead of -40346264083425070).
std::string format_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[32];  // "-d.dddddddddddddddde-308" at most
  const auto result =
      std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
  const std::string scientific(text, result.ptr);
  const std::size_t e = scientific.find('e');
  std::string digits;
  for (std::size_t i = 0; i < e; ++i) {
    if (scientific[i] >= '0' && scientific[i] <= '9') digits += scientific[i];
  }
  // The value is 0.<digits> times ten to the power `point`.
  const long point = std::strtol(scientific.c_str() + e + 1, nullptr, 10) + 1;
  const auto count = static_cast<long>(digits.size());
  std::string out = scientific[0] == '-' ? "-" : "";
  if (point <= 0) {
    out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (point >= count) {
    out += digits + std::string(static_cast<std::size_t>(point - count), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point)) + "." +
           digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

bool is_valid_ratio(double value) { return std::isfinite(value) && !(value < 0.0); }

void check_arguments(npy_intp channels, const LevelFixParams& p) {
  if (channels != 3) {
    raise(PyExc_ValueError,
          "expected an (H, W, 3) array, got " + std::to_string(channels) + " channels");
  }
  if (p.blur_n > kMaxBlurN) {
    raise(PyExc_ValueError, "blur_n must be <= " + std::to_string(kMaxBlurN) + ", got " +
                                std::to_string(p.blur_n));
  }
  if (p.window_radius < 1 || p.window_radius >= kBinRangeEnd) {
    raise(PyExc_ValueError, "window_radius must be in 1.." + std::to_string(kBinRangeEnd) +
                                ", got " + std::to_string(p.window_radius));
  }
  if (p.min_distance < 1 || p.min_distance >= kBinRangeEnd) {
    raise(PyExc_ValueError, "min_distance must be in 1.." + std::to_string(kBinRangeEnd) +
                                ", got " + std::to_string(p.min_distance));
  }
  if (!is_valid_ratio(p.min_prominence)) {
    raise(PyExc_ValueError, "min_prominence must be a finite percentage >= 0, got " +
                                format_double(p.min_prominence));
  }
  if (!is_valid_ratio(p.percentage)) {
    raise(PyExc_ValueError,
          "percentage must be a finite ratio >= 0, got " + format_double(p.percentage));
  }
}

// ---------------------------------------------------------------------------
// Arguments

// Runs one conversion and annotates its failure with the parameter's name.
template <typename Convert>
auto convert_argument(std::size_t slot, Convert&& convert) {
  try {
    return convert();
  } catch (const PythonError&) {
    note_argument(kParameterNames[slot]);
    throw;
  }
}

LevelFixParams convert_parameters(const ArgumentSlots& slots) {
  LevelFixParams params;
  auto unsigned_at = [&slots](std::size_t slot, std::uint64_t& out) {
    if (slots[slot] != nullptr) out = convert_argument(slot, [&] { return to_unsigned(slots[slot]); });
  };
  auto double_at = [&slots](std::size_t slot, double& out) {
    if (slots[slot] != nullptr) out = convert_argument(slot, [&] { return to_double(slots[slot]); });
  };
  unsigned_at(kBlurN, params.blur_n);
  unsigned_at(kWindowRadius, params.window_radius);
  double_at(kMinProminence, params.min_prominence);
  unsigned_at(kMinDistance, params.min_distance);
  double_at(kPercentage, params.percentage);
  return params;
}

PyObject* monochrome_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const ArgumentSlots slots = match_arguments(args, nargs, kwnames);
  PyRef image = convert_argument(kImg, [&] { return to_uint8_array3(slots[kImg]); });
  const LevelFixParams params = convert_parameters(slots);
  // The conversions may run Python code (__index__, __float__) that reshapes
  // the image in place or changes its element type: test it again now that
  // nothing else runs before the pixels are copied.
  image = convert_argument(kImg, [&] { return to_uint8_array3(image.get()); });
  auto* array = reinterpret_cast<PyArrayObject*>(image.get());
  check_arguments(PyArray_DIMS(array)[2], params);
  const PixelLayout layout = layout_of(array);
  PixelBuffer pixels = PixelBuffer::allocate(layout.bytes());
  // The copy holds the lock: the result is the image as it was when the
  // call began, and no other thread can free or replace the array's memory
  // (resize, __setstate__) while it is read.
  kernels::copy_pixels(layout, pixels.data());
  {
    ReleasedInterpreterLock unlocked;
    run_level_fix(pixels.data(), pixels.length(), params);
  }
  return wrap_result(std::move(pixels), layout);
}

PyObject* monochrome(PyObject* /*self: none, the method is static*/, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry<PyObject*>(nullptr, [&] { return monochrome_body(args, nargs, kwnames); });
}

// ---------------------------------------------------------------------------
// Module definition

constexpr char kMonochromeDoc[] =
    "monochrome(img, blur_n=3, window_radius=3, min_prominence=0.5, min_distance=10, "
    "percentage=0.22)\n"
    "--\n"
    "\n"
    "Fix black/white levels of monochrome (neutral) images.\n"
    "\n"
    "Args:\n"
    "    img: ``(H, W, 3)`` uint8 RGB array.\n"
    "    blur_n: histogram smoothing passes, ``>= 0``.\n"
    "    window_radius: local maximum search radius in histogram bins.\n"
    "    min_prominence: minimum peak prominence in percent of the total pixel count.\n"
    "    min_distance: minimum distance between accepted peaks, in bins.\n"
    "    percentage: max relative channel mass deviation treated as neutral colour.\n"
    "\n"
    "Returns:\n"
    "    New ``(H, W, 3)`` uint8 array; unchanged pixels when the image is not monochrome.";

PyMethodDef monochrome_def = {
    /* ml_name */ "monochrome",
    /* ml_meth */ reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(monochrome)),
    /* ml_flags */ METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    /* ml_doc */ kMonochromeDoc,
};

// Appends `name` to the module's `__all__` (made when missing), then sets
// the attribute.
void add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    throw_if(PyErr_ExceptionMatches(PyExc_AttributeError) == 0);
    PyErr_Clear();
    all = PyRef::checked(PyList_New(0));
    throw_if(PyObject_SetAttrString(module, "__all__", all.get()) != 0);
  }
  if (!has_type_flag(all.get(), Py_TPFLAGS_LIST_SUBCLASS)) {
    raise(PyExc_TypeError, "'" + type_qualname(all.get()) + "' object is not an instance of 'list'");
  }
  if (PyList_Append(all.get(), name) != 0) {
    fault_with_pending("could not append __name__ to __all__");
  }
  throw_if(PyObject_SetAttr(module, name, value) != 0);
}

int module_exec(PyObject* module) {
  return guard_entry(-1, [module] {
    if (!PyModule_Check(module)) {
      raise(PyExc_TypeError,
            "'" + type_qualname(module) + "' object is not an instance of 'module'");
    }
    PyRef module_name = PyRef::checked(PyModule_GetNameObject(module));
    PyRef function =
        PyRef::checked(PyCMethod_New(&monochrome_def, module, module_name.get(), nullptr));
    PyRef name = PyRef::checked(PyObject_GetAttrString(function.get(), "__name__"));
    if (!has_type_flag(name.get(), Py_TPFLAGS_UNICODE_SUBCLASS)) {
      raise(PyExc_TypeError,
            "'" + type_qualname(name.get()) + "' object is not an instance of 'str'");
    }
    add_to_module(module, name.get(), function.get());
    PyRef doc_name = PyRef::checked(PyUnicode_FromString("__doc__"));
    PyRef doc = PyRef::checked(PyUnicode_FromString("Monochrome level fix for RGB8 image arrays."));
    add_to_module(module, doc_name.get(), doc.get());
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    /* m_base */ PyModuleDef_HEAD_INIT,
    /* m_name */ "vorn_hyst",
    /* m_doc */ "",  // module_exec sets the real docstring
    /* m_size */ 0,
    /* m_methods */ nullptr,
    /* m_slots */ module_slots,
    /* m_traverse */ nullptr,
    /* m_clear */ nullptr,
    /* m_free */ nullptr,
};

}  // namespace
}  // namespace vorn

PyMODINIT_FUNC PyInit_vorn_hyst() {
  return PyModuleDef_Init(&vorn::module_def);
}

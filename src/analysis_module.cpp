// The private module `vorn_hyst_cli._analysis`: the level fix's analysis of
// one image (analysis.hpp) as a dict, for the command line's reasons and
// guards. Not a public interface: its one caller passes checked values.
#include <cmath>
#include <string>

#include "analysis.hpp"
#include "binding.hpp"
#include "document.hpp"
#include "png_rows.hpp"

namespace vorn {
namespace {

constexpr Py_ssize_t kArgumentCount = 8;

// The same ranges monochrome() enforces; the stages rely on them.
void check_parameters(const LevelFixParams& p, std::uint64_t tolerance) {
  const bool ok = p.blur_n <= 1024 && p.window_radius >= 1 && p.window_radius <= 255 &&
                  p.min_distance >= 1 && p.min_distance <= 255 &&
                  std::isfinite(p.min_prominence) && !(p.min_prominence < 0.0) &&
                  std::isfinite(p.percentage) && !(p.percentage < 0.0) && tolerance <= 255;
  if (!ok) raise(PyExc_ValueError, "analysis parameter out of range");
}

PyRef new_ref(PyObject* object) { return PyRef::checked(object); }

PyRef unsigned_tuple(const std::array<std::uint64_t, 3>& values) {
  return new_ref(Py_BuildValue("(KKK)", static_cast<unsigned long long>(values[0]),
                               static_cast<unsigned long long>(values[1]),
                               static_cast<unsigned long long>(values[2])));
}

// ((positions of R), (of G), (of B)) or the same of the masses.
PyRef per_channel(const std::array<RegionList, 3>& regions, bool masses) {
  PyRef out = new_ref(PyTuple_New(3));
  for (std::size_t c = 0; c < 3; ++c) {
    const RegionList& list = regions[c];
    PyRef channel = new_ref(PyTuple_New(static_cast<Py_ssize_t>(list.size())));
    for (std::size_t i = 0; i < list.size(); ++i) {
      PyObject* item = masses ? PyLong_FromUnsignedLongLong(list[i].mass)
                              : PyLong_FromUnsignedLong(list[i].position);
      throw_if(item == nullptr);
      throw_if(PyTuple_SetItem(channel.get(), static_cast<Py_ssize_t>(i), item) != 0);
    }
    throw_if(PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(c), channel.release()) != 0);
  }
  return out;
}

PyRef deviations_or_none(const std::optional<Deviations>& d) {
  if (!d) return PyRef::borrow(Py_None);
  return new_ref(Py_BuildValue("(ddd)", (*d)[0], (*d)[1], (*d)[2]));
}

PyRef levels_or_none(const std::optional<Levels>& levels) {
  if (!levels) return PyRef::borrow(Py_None);
  const Levels& l = *levels;
  return new_ref(Py_BuildValue("((ii)(ii)(ii))", l[0].dark, l[0].light, l[1].dark, l[1].light,
                               l[2].dark, l[2].light));
}

PyRef stretch_or_none(const std::optional<StretchCounts>& s) {
  if (!s) return PyRef::borrow(Py_None);
  return new_ref(Py_BuildValue(
      "{sKsKsKsKsK}", "coloured", static_cast<unsigned long long>(s->coloured), "black",
      static_cast<unsigned long long>(s->black), "white", static_cast<unsigned long long>(s->white),
      "far_black", static_cast<unsigned long long>(s->far_black), "far_white",
      static_cast<unsigned long long>(s->far_white)));
}

const char* rejection_name(Rejection r) {
  switch (r) {
    case Rejection::kNone: return "";
    case Rejection::kPeakCount: return "peak count";
    case Rejection::kDarkMasses: return "dark masses";
    case Rejection::kLightMasses: return "light masses";
  }
  return "";
}

void set_item(PyObject* dict, const char* key, PyRef value) {
  throw_if(PyDict_SetItemString(dict, key, value.get()) != 0);
}

PyObject* to_dict(const ImageAnalysis& a) {
  PyRef out = new_ref(PyDict_New());
  PyObject* d = out.get();
  set_item(d, "pixels", new_ref(PyLong_FromUnsignedLongLong(a.pixel_count)));
  set_item(d, "threshold", new_ref(PyLong_FromUnsignedLongLong(a.threshold)));
  set_item(d, "totals", unsigned_tuple(a.totals));
  set_item(d, "peaks", per_channel(a.regions, false));
  set_item(d, "masses", per_channel(a.regions, true));
  set_item(d, "rejection", new_ref(PyUnicode_FromString(rejection_name(a.rejection))));
  set_item(d, "dark_deviations", deviations_or_none(a.dark_deviations));
  set_item(d, "light_deviations", deviations_or_none(a.light_deviations));
  set_item(d, "levels", levels_or_none(a.levels));
  set_item(d, "stretch", stretch_or_none(a.stretch));
  return out.release();
}

PyObject* analyse_body(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != kArgumentCount) {
    raise(PyExc_TypeError, "analyse(img, blur_n, window_radius, min_prominence, min_distance, "
                           "percentage, tolerance, measure_flat) takes 8 positional arguments");
  }
  LevelFixParams params;
  params.blur_n = to_unsigned(args[1]);
  params.window_radius = to_unsigned(args[2]);
  params.min_prominence = to_double(args[3]);
  params.min_distance = to_unsigned(args[4]);
  params.percentage = to_double(args[5]);
  const std::uint64_t tolerance = to_unsigned(args[6]);
  const int measure_flat = PyObject_IsTrue(args[7]);
  throw_if(measure_flat < 0);
  check_parameters(params, tolerance);
  // Converted last: nothing runs Python code between this check and the copy.
  PyRef image = to_uint8_array3(args[0]);
  auto* array = reinterpret_cast<PyArrayObject*>(image.get());
  const npy_intp* dims = PyArray_DIMS(array);
  if (dims[2] != 3) raise(PyExc_ValueError, "expected an (H, W, 3) array");
  const auto height = static_cast<std::size_t>(dims[0]);
  const auto width = static_cast<std::size_t>(dims[1]);
  // Analysed in a copy the call owns: the caller's memory is read with the
  // lock held only, so no other thread can free it under the analysis.
  const PixelBuffer pixels = copy_image(array);
  ImageAnalysis analysis;
  {
    ReleasedInterpreterLock unlocked;
    analysis = analyse(pixels.data(), width, height, params, static_cast<std::uint8_t>(tolerance),
                       measure_flat != 0);
  }
  return to_dict(analysis);
}

PyObject* analyse_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  return guard_entry<PyObject*>(nullptr, [&] { return analyse_body(args, nargs); });
}

// ---- the document rule ----------------------------------------------------------

PyRef rgb_tuple(const document::Rgb& c) { return new_ref(Py_BuildValue("(ddd)", c.r, c.g, c.b)); }

const char* refusal_name(document::Refusal r) {
  switch (r) {
    case document::Refusal::kNone: return "";
    case document::Refusal::kBlank: return "blank";
    case document::Refusal::kNotDocument: return "not a document";
    case document::Refusal::kInkColour: return "ink colour";
    case document::Refusal::kColour: return "colour";
    case document::Refusal::kLoss: return "content loss";
  }
  return "";
}

PyRef size_value(std::size_t v) { return new_ref(PyLong_FromSize_t(v)); }
PyRef double_value(double v) { return new_ref(PyFloat_FromDouble(v)); }

PyObject* document_dict(const document::DocumentAnalysis& a) {
  PyRef out = new_ref(PyDict_New());
  PyObject* d = out.get();
  set_item(d, "refusal", new_ref(PyUnicode_FromString(refusal_name(a.refusal))));
  set_item(d, "levels", levels_or_none(a.levels));
  set_item(d, "candidate_levels", levels_or_none(a.ink.levels));
  set_item(d, "block", size_value(a.block));
  set_item(d, "background_share", double_value(a.background_share));
  set_item(d, "paper_level", double_value(a.paper.y));
  set_item(d, "paper_colour", rgb_tuple(a.paper.colour));
  set_item(d, "roughness", double_value(a.paper.roughness));
  set_item(d, "mode", size_value(static_cast<std::size_t>(a.ink.mode)));
  set_item(d, "sigma", double_value(a.ink.sigma));
  set_item(d, "light", size_value(static_cast<std::size_t>(std::max(0, a.ink.light_y))));
  set_item(d, "dark", size_value(static_cast<std::size_t>(std::max(0, a.ink.dark_y))));
  set_item(d, "paper_share", double_value(a.ink.paper_share));
  set_item(d, "ink_share", double_value(a.ink.ink_share));
  set_item(d, "black_ink_share", double_value(a.ink.black_ink_share));
  set_item(d, "ink_colour", rgb_tuple(a.ink.ink));
  set_item(d, "vivid_share", double_value(a.colour.vivid_share));
  set_item(d, "ink_excess", double_value(a.colour.ink_excess));
  set_item(d, "colour_score", double_value(a.colour.score));
  set_item(d, "largest_mark", size_value(a.colour.largest));
  set_item(d, "marks", size_value(a.colour.marks));
  set_item(d, "lines", size_value(a.colour.lines));
  set_item(d, "content_tiles", size_value(a.loss.content_tiles));
  set_item(d, "lost_tiles", size_value(a.loss.lost_tiles));
  set_item(d, "black_share", double_value(a.loss.black_share));
  // The limits the refusal was judged by, so that its reason can quote them.
  const document::DocumentParams params;
  PyRef limits = new_ref(PyDict_New());
  set_item(limits.get(), "roughness", double_value(params.max_roughness));
  set_item(limits.get(), "paper_share", double_value(params.min_paper_share));
  set_item(limits.get(), "colour_score", double_value(params.colour_limit));
  set_item(limits.get(), "black_share", double_value(params.black_limit));
  set_item(d, "limits", std::move(limits));
  return out.release();
}

// document(img): the document rule's analysis of an (H, W, 3) uint8 image.
PyObject* document_body(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1) raise(PyExc_TypeError, "document(img) takes 1 positional argument");
  PyRef image = to_uint8_array3(args[0]);
  auto* array = reinterpret_cast<PyArrayObject*>(image.get());
  const npy_intp* dims = PyArray_DIMS(array);
  if (dims[2] != 3) raise(PyExc_ValueError, "expected an (H, W, 3) array");
  const auto height = static_cast<std::size_t>(dims[0]);
  const auto width = static_cast<std::size_t>(dims[1]);
  // Read in a copy the call owns, taken with the lock held.
  const PixelBuffer pixels = copy_image(array);
  document::DocumentAnalysis analysis;
  {
    ReleasedInterpreterLock unlocked;
    analysis = document::analyse_document(pixels.data(), width, height);
  }
  return document_dict(analysis);
}

PyObject* document_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  return guard_entry<PyObject*>(nullptr, [&] { return document_body(args, nargs); });
}

std::uint8_t level_at(PyObject* levels, Py_ssize_t channel, Py_ssize_t which) {
  PyRef pair = PyRef::checked(PySequence_GetItem(levels, channel));
  PyRef item = PyRef::checked(PySequence_GetItem(pair.get(), which));
  const std::uint64_t value = to_unsigned(item.get());
  if (value > 255) raise(PyExc_ValueError, "a level is a byte");
  return static_cast<std::uint8_t>(value);
}

Levels levels_of(PyObject* object) {
  Levels levels;
  for (Py_ssize_t c = 0; c < 3; ++c) {
    ChannelLevels& channel = levels[static_cast<std::size_t>(c)];
    channel = ChannelLevels{level_at(object, c, 0), level_at(object, c, 1)};
    if (channel.dark > channel.light) raise(PyExc_ValueError, "dark level above light level");
  }
  return levels;
}

// remap(img, levels): a new array, img with the levels fixed by the very remap
// that monochrome() runs once it has these levels.
PyObject* remap_body(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) raise(PyExc_TypeError, "remap(img, levels) takes 2 positional arguments");
  const Levels levels = levels_of(args[1]);
  PyRef image = to_uint8_array3(args[0]);
  auto* array = reinterpret_cast<PyArrayObject*>(image.get());
  if (PyArray_DIMS(array)[2] != 3) raise(PyExc_ValueError, "expected an (H, W, 3) array");
  const PixelLayout layout = layout_of(array);
  // Copied with the lock held and rewritten in memory the call owns, which
  // the result array then owns: nothing of the caller's is touched unlocked.
  PixelBuffer pixels = copy_image(array);
  {
    ReleasedInterpreterLock unlocked;
    if (pixels.length() >= 3) remap_to_grey(levels, pixels.data(), pixels.length());
  }
  return wrap_result(std::move(pixels), layout);
}

PyObject* remap_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  return guard_entry<PyObject*>(nullptr, [&] { return remap_body(args, nargs); });
}

// unfilter(rows, height, row_bytes, pixel_bytes): undoes the row filters of
// a PNG's inflated image data in place (a writable, C-contiguous uint8
// array: each row its filter type and row_bytes bytes); the pixels are then
// its first height * row_bytes bytes. False at a filter type PNG does not have.
// Its one caller made `rows` for this call: no other thread holds it.
PyObject* unfilter_body(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    raise(PyExc_TypeError,
          "unfilter(rows, height, row_bytes, pixel_bytes) takes 4 positional arguments");
  }
  const std::uint64_t height = to_unsigned(args[1]);
  const std::uint64_t row_bytes = to_unsigned(args[2]);
  const std::uint64_t pixel_bytes = to_unsigned(args[3]);
  if ((pixel_bytes != 1 && pixel_bytes != 3) || row_bytes < pixel_bytes ||
      row_bytes % pixel_bytes != 0) {
    raise(PyExc_ValueError, "a row holds whole grey (1-byte) or RGB (3-byte) pixels, at least one");
  }
  PyObject* rows = args[0];
  const bool is_array = PyType_IsSubtype(Py_TYPE(rows), get_type_object()) != 0;
  auto* array = reinterpret_cast<PyArrayObject*>(rows);
  if (!is_array || PyArray_NDIM(array) != 1 || PyArray_TYPE(array) != NPY_UBYTE ||
      (PyArray_FLAGS(array) & NPY_ARRAY_C_CONTIGUOUS) == 0 ||
      (PyArray_FLAGS(array) & NPY_ARRAY_WRITEABLE) == 0) {
    raise(PyExc_TypeError, "rows must be a writable, contiguous 1-D uint8 array");
  }
  const auto size = static_cast<std::uint64_t>(PyArray_DIMS(array)[0]);
  // Divided, not multiplied: a hostile height cannot overflow the check.
  if (height == 0 || size % height != 0 || size / height == 0 || size / height - 1 != row_bytes) {
    raise(PyExc_ValueError, "rows do not hold height rows of row_bytes bytes and a filter type");
  }
  auto* bytes = static_cast<std::uint8_t*>(PyArray_DATA(array));
  bool known = false;
  {
    ReleasedInterpreterLock unlocked;
    known = png::unfilter(bytes, height, row_bytes, pixel_bytes);
  }
  return PyBool_FromLong(known ? 1 : 0);
}

PyObject* unfilter_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  return guard_entry<PyObject*>(nullptr, [&] { return unfilter_body(args, nargs); });
}

PyMethodDef methods[] = {
    {"analyse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(analyse_entry)),
     METH_FASTCALL,
     "analyse(img, blur_n, window_radius, min_prominence, min_distance, percentage, tolerance, "
     "measure_flat)\n"
     "--\n\n"
     "What the level fix sees in a C-contiguous (H, W, 3) uint8 image, as a dict; the stretch\n"
     "counts of levels with a flat channel only if measure_flat."},
    {"remap", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(remap_entry)),
     METH_FASTCALL,
     "remap(img, levels)\n--\n\n"
     "A new array: img with its levels fixed, as monochrome() fixes them with these levels."},
    {"document", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(document_entry)),
     METH_FASTCALL,
     "document(img)\n--\n\n"
     "The document rule's analysis of an (H, W, 3) uint8 image, as a dict."},
    {"unfilter", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unfilter_entry)),
     METH_FASTCALL,
     "unfilter(rows, height, row_bytes, pixel_bytes)\n--\n\n"
     "Undoes the row filters of a PNG's inflated image data in place; False at an\n"
     "unknown filter type."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {{0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vorn_hyst_cli._analysis",
    "The level fix's analysis of one image, for the command line.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vorn

// The interpreter looks for this name: the module's, `_analysis`, after PyInit_.
PyMODINIT_FUNC PyInit__analysis() {  // NOLINT(bugprone-reserved-identifier)
  return PyModuleDef_Init(&vorn::module_def);
}

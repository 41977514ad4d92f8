// What easing offers glidecell: a curve's call with the progress as a double.
//
// A gliding cell holds its progress as a double and would box it into a float
// for its interpolation function, which an easing curve would only read back.
// So the easing module puts a capsule holding a CurveCall in its Curve type's
// dict, and a cell that meets a curve for the first time finds the capsule
// there and from then on calls the curve through it.  Neither module imports
// the other: a curve reaches a cell only once easing is loaded.  Curve is a
// static type that Python code cannot subclass (easing's own subtypes of it,
// the families', are static too), so a cell tells a curve by its exact type or
// that type's base, and every other callable is called as before.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

namespace qm {
namespace {

struct CurveCall {
    PyTypeObject* type;  // easing's Curve
    // curve(start, target, progress) for a float progress `p`: the same
    // result, or the same exception, as that call.
    PyObject* (*call)(PyObject* curve, PyObject* start, PyObject* target, double p);
};

// The capsule's name, and its key in Curve's dict.
constexpr char curve_call_name[] = "_curve_call";

// Curve's full name, as easing makes it: the cell looks for the capsule only
// on a type of that name.
constexpr char easing_module_name[] = "Quillmoor.utils.easing";
constexpr char curve_class_name[] = "Curve";

inline bool is_curve_type_name(const char* tp_name) noexcept {
    constexpr std::size_t n = sizeof easing_module_name - 1;
    // The first letter tells most types apart without a library call.
    return tp_name[0] == easing_module_name[0] && std::strncmp(tp_name, easing_module_name, n) == 0 &&
           tp_name[n] == '.' && std::strcmp(tp_name + n + 1, curve_class_name) == 0;
}

}  // namespace
}  // namespace qm

// The contract with the sibling module Quillmoor.utils.calculated_value:
// the module bodies that use it import CalculatedValue and gcv from it in one
// statement, and an interval or delay object becomes seconds through the gcv
// found in the module's namespace at each use.  Included by the modules that
// use it (timers, glidecell) only.
#pragma once

#include "module.hpp"

namespace qm {
namespace {

Name n_gcv{"gcv"};
Name n_CalculatedValue{"CalculatedValue"};
Name n_calculated_value{"Quillmoor.utils.calculated_value"};

const Name* const calculated_value_names[] = {&n_CalculatedValue, &n_gcv, nullptr};

// `from Quillmoor.utils.calculated_value import CalculatedValue, gcv`
constexpr BodyStep calculated_value_import = from_import_step(n_calculated_value, calculated_value_names);

// gcv(value): the seconds a stored interval or delay object stands for now.
// The object is held for the call, since gcv may replace the member it came from.
[[nodiscard]] inline Ref call_gcv(PyObject* value) {
    Ref gcv = lookup_global(n_gcv);
    if (!gcv) return Ref();
    Ref held = Ref::incref(value);
    return Ref::steal(PyObject_CallOneArg(gcv.get(), held.get()));
}

}  // namespace
}  // namespace qm

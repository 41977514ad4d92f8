// Quillmoor.utils.flag: a nesting counter used as a context manager.
//
// Each `with flag:` block raises the depth on entry and lowers it on exit, so
// the flag reads true while any block that entered it is still open.  There
// is no floor: unmatched exits leave a debt that later entries pay off.

#include "frame/frame.hpp"

namespace qm {
namespace {

Name n_value{"value"};

// ===========================================================================
// Flag
// ===========================================================================

struct Flag {
    PyObject_HEAD
    std::int32_t depth;
};

PyTypeObject flag_type = static_type_object();

// -- methods --------------------------------------------------------------------

// Both take *args and **kwargs and ignore them: in a `with` statement
// __exit__ receives the exception, and returning None never suppresses it.
// The depth wraps at the 32-bit limits instead of overflowing.
PyObject* flag_enter_entry(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    as<Flag>(self)->depth = wrap_add(as<Flag>(self)->depth, 1);
    Py_RETURN_NONE;
}

PyObject* flag_exit_entry(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    as<Flag>(self)->depth = wrap_sub(as<Flag>(self)->depth, 1);
    Py_RETURN_NONE;
}

const Params flag_enter_params{"__enter__"};
const Params flag_exit_params{"__exit__"};
constexpr MethodDef flag_enter_def = method<flag_enter_entry>(flag_enter_params, MethodDef::variadic_method);
constexpr MethodDef flag_exit_def = method<flag_exit_entry>(flag_exit_params, MethodDef::variadic_method);

// -- construction, properties and number slots ------------------------------------

const Params flag_init_params{"__init__"};

int flag_init(PyObject* self, PyObject* args, PyObject* kwds) {
    Ref keep;
    if (!parse_tuple(flag_init_params, args, kwds, nullptr, keep)) return -1;
    as<Flag>(self)->depth = 0;
    return 0;
}

PyObject* flag_value_get(PyObject* self, void*) { return bool_result(as<Flag>(self)->depth > 0); }

// The truth of `value` by the integer conversion, so a subclass's `value`
// decides.  A plain Flag's `value` cannot be replaced, so it skips the lookup.
// Any nonzero integer is true: a negative one must not reach the interpreter,
// which takes a negative result from this slot for an error.
int flag_bool(PyObject* self) {
    if (Py_IS_TYPE(self, &flag_type)) return as<Flag>(self)->depth > 0;
    Ref value = Ref::steal(PyObject_GetAttr(self, n_value.get()));
    if (!value) return -1;
    std::int32_t n;
    if (!to_int32(value.get(), n)) return -1;
    return n != 0;
}

// -- tables -----------------------------------------------------------------------

PyGetSetDef flag_getset[] = {
    {"value", flag_value_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyNumberMethods flag_as_number{};

void flag_slots(PyTypeObject& t) {
    flag_as_number.nb_bool = flag_bool;
    t.tp_as_number = &flag_as_number;
}

constexpr const MethodDef* flag_methods[] = {&flag_enter_def, &flag_exit_def};

constexpr Member flag_members[] = {
    {"_depth", MemberKind::int32, offsetof(Flag, depth)},
};

ClassDef flag_class{
    .type = flag_type,
    .name = "Flag",
    .basicsize = sizeof(Flag),
    .members = pickled_members(flag_members),
    .checksums = {0xff4302a, 0x7efef59, 0x1a4b494},
    .init_params = flag_init_params,
    .init = flag_init,
    .getset = flag_getset,
    .extra_slots = flag_slots,
    .methods = class_methods(flag_methods),
};

// ===========================================================================
// The module
// ===========================================================================

const ClassEntry flag_classes[] = {class_entry<flag_class>};

const BodyStep flag_body[] = {
    import_step(n_typing, n_t),
    methods_step(flag_class),
};

const ModuleDef flag_module{"Quillmoor.utils.flag", flag_classes, flag_body};

}  // namespace
}  // namespace qm

PyMODINIT_FUNC PyInit_flag() { return qm::module_init(qm::flag_module); }

// Quillmoor.utils.flag: a nesting counter used as a context manager.
//
// Each `with flag:` block raises the depth on entry and lowers it on exit, so
// the flag reads true while any block that entered it is still open.  There
// is no floor: unmatched exits leave a debt that later entries pay off.

#include "frame/frame.hpp"

namespace qm {
namespace {

Name n_value{"value"};
Name n_unpickle_Flag{"__pyx_unpickle_Flag"};

// ===========================================================================
// Flag
// ===========================================================================

struct Flag {
    PyObject_HEAD
    std::int32_t depth;
};

const Member flag_members[] = {
    {"_depth", Kind::int32, offsetof(Flag, depth)},
};

int flag_init(PyObject*, PyObject*, PyObject*);
extern PyGetSetDef flag_getset[];
void flag_slots(PyTypeObject&);

ClassSpec flag_spec{
    .dotted_name = "Quillmoor.utils.flag.Flag",
    .class_name = "Flag",
    .basicsize = sizeof(Flag),
    .gc = false,
    .weaklist_offset = 0,
    .vtable_offset = 0,
    .vtable = nullptr,
    .members = flag_members,
    .member_count = 1,
    .checksums = {0xff4302a, 0x7efef59, 0x1a4b494},
    .member_list = "_depth",
    .unpickle_name = &n_unpickle_Flag,
    .init = flag_init,
    .getset = flag_getset,
    .extra_slots = flag_slots,
    .text_signature = "Flag()\n--\n\n",
    .install = ClassSlots<flag_spec>::install,
};

inline Flag* as_flag(PyObject* o) { return reinterpret_cast<Flag*>(o); }

// -- methods called from Python -------------------------------------------------

// Both take *args and **kwargs and ignore them: in a `with` statement
// __exit__ receives the exception, and returning None never suppresses it.
// The depth wraps at the 32-bit limits instead of overflowing.
PyObject* flag_enter_entry(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    as_flag(self)->depth = wrap_add(as_flag(self)->depth, 1);
    Py_RETURN_NONE;
}

PyObject* flag_exit_entry(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    as_flag(self)->depth = wrap_sub(as_flag(self)->depth, 1);
    Py_RETURN_NONE;
}

const Annotation flag_variadic_annotations[] = {{"args", "t.Any"}, {"kwargs", "t.Any"}, {nullptr, nullptr}};
const MethodDef flag_enter_def = method<flag_enter_entry>("__enter__", "($self, /, *args, **kwargs)",
                                                          flag_variadic_annotations, MethodDef::variadic_method);
const MethodDef flag_exit_def = method<flag_exit_entry>("__exit__", "($self, /, *args, **kwargs)",
                                                        flag_variadic_annotations, MethodDef::variadic_method);

const Params flag_init_spec{"__init__", nullptr, 0, 0};
int flag_init(PyObject* self, PyObject* args, PyObject* kwds) {
    Ref keep;
    if (!parse_tuple(flag_init_spec, args, kwds, nullptr, keep)) return -1;
    as_flag(self)->depth = 0;
    return 0;
}

// -- properties -----------------------------------------------------------------

PyObject* flag_value_get(PyObject* self, void*) { return bool_result(as_flag(self)->depth > 0); }

PyGetSetDef flag_getset[] = {
    {"value", flag_value_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// -- number slots -----------------------------------------------------------------

// The truth of `value` by the integer conversion, so a subclass's `value`
// decides.  A plain Flag's `value` cannot be replaced, so it skips the lookup.
// Any nonzero integer is true: a negative one must not reach the interpreter,
// which takes a negative result from this slot for an error.
int flag_bool(PyObject* self) {
    if (Py_IS_TYPE(self, &flag_spec.type)) return as_flag(self)->depth > 0;
    Ref value = Ref::steal(PyObject_GetAttr(self, n_value.get()));
    if (!value) return -1;
    std::int32_t n;
    if (!to_int32(value.get(), n)) return -1;
    return n != 0;
}

PyNumberMethods flag_as_number{};

void flag_slots(PyTypeObject& t) {
    flag_as_number.nb_bool = flag_bool;
    t.tp_as_number = &flag_as_number;
}

const MethodDef* const flag_methods[] = {
    &flag_enter_def,
    &flag_exit_def,
    &ClassSlots<flag_spec>::reduce_def,
    &ClassSlots<flag_spec>::setstate_def,
    nullptr,
};

// ===========================================================================
// The module
// ===========================================================================

ClassSpec* const flag_classes[] = {&flag_spec, nullptr};

const BodyStep flag_body[] = {
    import_step(n_typing, n_t),
    methods_step(flag_spec, flag_methods),
    end_step(),
};

const ModuleSpec flag_module{
    .full_name = "Quillmoor.utils.flag",
    .short_name = "flag",
    .function_type_name = "Quillmoor.utils.flag.compiled_function",
    .source_file = "flag.cpp",
    .classes = flag_classes,
    .body = flag_body,
};

}  // namespace
}  // namespace qm

PyMODINIT_FUNC PyInit_flag() { return qm::module_init(qm::flag_module); }

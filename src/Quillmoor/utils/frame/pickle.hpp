// The pickled form of the classes, derived from each class's member table
// (members.hpp): __reduce_cython__, __setstate_cython__, the reconstruction
// function __pyx_unpickle_<Class> with its checksum check, and the set-up that
// makes the first two the class's __reduce__ and __setstate__.
#pragma once

#include "args.hpp"
#include "convert.hpp"
#include "function.hpp"
#include "members.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <utility>

namespace qm {
namespace {

Name n_dict{"__dict__"};
Name n_new{"__new__"};
Name n_update{"update"};
Name n_reduce{"__reduce__"};
Name n_setstate{"__setstate__"};
Name n_reduce_cython{"__reduce_cython__"};
Name n_setstate_cython{"__setstate_cython__"};
Name n_pyx_state{"__pyx_state"};
Name n_pyx_type{"__pyx_type"};
Name n_pyx_checksum{"__pyx_checksum"};
Name n_pickle{"pickle"};
Name n_PickleError{"PickleError"};

constexpr Param reconstruct_params[] = {{n_pyx_type}, {n_pyx_checksum}, {n_pyx_state}};

// ---- pickling ------------------------------------------------------------

[[nodiscard]] inline PyObject* member_value(PyObject* o, const Member& m) noexcept {
    switch (m.kind) {
        case MemberKind::int32: return PyLong_FromLong(field<std::int32_t>(o, m.offset));
        case MemberKind::float32: return float_result(field<float>(o, m.offset));
        default: return Py_NewRef(field<PyObject*>(o, m.offset));
    }
}

inline bool has_object_members(PyObject* o, std::span<const Member> members) noexcept {
    for (const Member& m : members)
        if (holds_object(m) && field<PyObject*>(o, m.offset) != Py_None) return true;
    return false;
}

// __reduce_cython__ of an instance of `type` (or of a subclass) whose pickled
// members are `members`: the reconstruction function found under
// `unpickle_name`, and (class, checksum, state) in one of the two forms.
[[nodiscard]] inline PyObject* pickle_reduce(PyObject* self, PyTypeObject& type, std::span<const Member> members,
                                             PyObject* unpickle_name, PyObject* checksum_obj) {
    Py_ssize_t count = static_cast<Py_ssize_t>(members.size());
    Ref state = Ref::steal(PyTuple_New(count));
    if (!state) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* v = member_value(self, members.data()[i]);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(state.get(), i, v);
    }
    // A plain instance has no __dict__: its type is static, immutable and has
    // no instance dicts.  Anything else is asked.
    PyObject* raw_dict = nullptr;
    if (!Py_IS_TYPE(self, &type) && PyObject_GetOptionalAttr(self, n_dict.get(), &raw_dict) < 0) return nullptr;
    Ref dict = Ref::steal(raw_dict);
    bool use_setstate = false;
    if (dict && dict.get() != Py_None) {
        bool nonempty;
        if (!to_truth(dict.get(), nonempty)) return nullptr;
        if (nonempty) {
            Ref extra = Ref::steal(PyTuple_Pack(1, dict.get()));
            if (!extra) return nullptr;
            state = Ref::steal(PySequence_Concat(state.get(), extra.get()));
            if (!state) return nullptr;
            use_setstate = true;
        }
    }
    if (!use_setstate) use_setstate = has_object_members(self, members);
    Ref func = lookup_global(unpickle_name);
    if (!func) return nullptr;
    Ref checksum = Ref::incref(checksum_obj);
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (use_setstate) {
        Ref args = Ref::steal(PyTuple_Pack(3, cls, checksum.get(), Py_None));
        if (!args) return nullptr;
        return PyTuple_Pack(3, func.get(), args.get(), state.get());
    }
    Ref args = Ref::steal(PyTuple_Pack(3, cls, checksum.get(), state.get()));
    if (!args) return nullptr;
    return PyTuple_Pack(2, func.get(), args.get());
}

// Writes the members back one by one.  A failure leaves the members before it
// replaced and the rest untouched.  `state` is kept alive by the caller.
[[nodiscard]] inline bool set_state(PyObject* self, std::span<const Member> members, PyObject* state) {
    Py_ssize_t size = PyTuple_GET_SIZE(state), count = static_cast<Py_ssize_t>(members.size());
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i >= size) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return false;
        }
        PyObject* item = PyTuple_GET_ITEM(state, i);
        const Member& m = members.data()[i];  // data(): no checked indexing in debug builds
        switch (m.kind) {
            case MemberKind::int32: {
                std::int32_t v;
                if (!to_int32(item, v)) return false;
                field<std::int32_t>(self, m.offset) = v;
                break;
            }
            case MemberKind::float32: {
                float v;
                if (!to_float32(item, v)) return false;
                field<float>(self, m.offset) = v;
                break;
            }
            case MemberKind::bool_or_none:
                if (!check_exact_value(item, &PyBool_Type, true)) return false;
                [[fallthrough]];
            case MemberKind::object: replace_member(field<PyObject*>(self, m.offset), item); break;
        }
    }
    if (size <= count) return true;
    PyObject* extra = PyTuple_GET_ITEM(state, count);
    int present = PyObject_IsTrue(extra);
    if (present <= 0) return present == 0;
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return false;
    if (PyDict_CheckExact(dict.get())) return PyDict_Update(dict.get(), extra) == 0;
    Ref r = Ref::steal(PyObject_CallMethodOneArg(dict.get(), n_update.get(), extra));
    return static_cast<bool>(r);
}

constexpr Param setstate_params_list[] = {{n_pyx_state}};
const Params setstate_params{"__setstate_cython__", setstate_params_list};
const Params reduce_params{"__reduce_cython__"};

[[nodiscard]] inline PyObject* pickle_setstate(PyObject* self, std::span<const Member> members, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* state;
    if (!parse_args(setstate_params, args, nargs, kwnames, &state)) return nullptr;
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
        return nullptr;
    }
    if (!check_exact_value(state, &PyTuple_Type, false)) return nullptr;
    if (!set_state(self, members, state)) return nullptr;
    Py_RETURN_NONE;
}

[[gnu::cold]] inline void checksum_error(std::span<const Member> members, const std::int32_t (&checksums)[3],
                                        std::int32_t checksum) {
    Ref pickle = Ref::steal(PyImport_Import(n_pickle.get()));
    if (!pickle) return;
    Ref error = Ref::steal(PyObject_GetAttr(pickle.get(), n_PickleError.get()));
    if (!error) return;
    // As Python's own raise statement answers a raise of a non-exception.
    if (!PyExceptionClass_Check(error.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return;
    }
    // The member names as the message lists them: "_count, _sum".
    Ref names = Ref::steal(PyUnicode_FromString(""));
    for (const Member& m : members) {
        if (!names) return;
        names = Ref::steal(PyUnicode_FromFormat(PyUnicode_GET_LENGTH(names.get()) ? "%U, %s" : "%U%s",
                                                names.get(), m.name));
    }
    if (!names) return;
    PyErr_Format(error.get(), "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%U))",
                 static_cast<unsigned>(checksum), static_cast<unsigned>(checksums[0]),
                 static_cast<unsigned>(checksums[1]), static_cast<unsigned>(checksums[2]), names.get());
}

// __pyx_unpickle_<Class>(type, checksum, state): a bare instance of `type`
// (or of the subclass given) with the state written back.
[[nodiscard]] inline PyObject* pickle_reconstruct(PyTypeObject& type, const Params& params,
                                                  std::span<const Member> members, const std::int32_t (&checksums)[3],
                                                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!parse_args(params, args, nargs, kwnames, a)) return nullptr;
    PyObject* state = a[2];
    std::int32_t checksum;
    if (!to_int32(a[1], checksum)) return nullptr;
    if (state != Py_None && !check_exact_param(state, &PyTuple_Type, "__pyx_state", false)) return nullptr;
    if (checksum != checksums[0] && checksum != checksums[1] && checksum != checksums[2]) {
        checksum_error(members, checksums, checksum);
        return nullptr;
    }
    Ref obj;
    if (a[0] == reinterpret_cast<PyObject*>(&type)) {
        // What type.__new__(type) does, without the bound method and its call.
        obj = Ref::steal(type.tp_new(&type, nullptr, nullptr));
    } else {
        Ref make = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&type), n_new.get()));
        if (!make) return nullptr;
        obj = Ref::steal(PyObject_CallOneArg(make.get(), a[0]));
    }
    if (!obj) return nullptr;
    if (state != Py_None && !set_state(obj.get(), members, state)) return nullptr;
    return obj.release();
}

// The docs of the pickling methods' descriptors, "name($self, ...)\n--\n\n",
// from their parameter lists: the same for every class, made once.
char g_pickle_docs[2][96] = {};

[[nodiscard]] inline bool make_pickle_docs() {
    if (*g_pickle_docs[1]) return true;  // both made (the last one last) for an earlier class
    const Params* params[] = {&reduce_params, &setstate_params};
    for (int i = 0; i < 2; ++i) {
        char signature[80];
        if (!format_method_signature(*params[i], signature, sizeof signature)) return false;
        std::snprintf(g_pickle_docs[i], sizeof g_pickle_docs[i], "%s%s\n--\n\n", params[i]->func, signature);
    }
    return true;
}

// Reduce set-up: the class dict's __reduce__ and __setstate__ become the
// method descriptors made from pickle_methods, under their own names.  Each
// move is complete or not begun, so a set-up that failed half-way is finished
// by the next attempt.
[[nodiscard]] inline bool setup_pickling(const char* dotted_name, PyObject* dict) {
    const std::pair<const Name*, const Name*> moves[] = {{&n_reduce_cython, &n_reduce},
                                                         {&n_setstate_cython, &n_setstate}};
    for (auto [from, to] : moves) {
        PyObject* raw = nullptr;
        int r = PyDict_GetItemRef(dict, from->get(), &raw);
        if (r < 0) return false;
        Ref descr = Ref::steal(raw);
        if (r == 0) {
            // Moved by an earlier attempt, or never made.
            int moved = PyDict_Contains(dict, to->get());
            if (moved < 0) return false;
            if (moved) continue;
            PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", dotted_name);
            return false;
        }
        if (PyDict_SetItem(dict, to->get(), descr.get()) < 0) return false;
        if (PyDict_DelItem(dict, from->get()) < 0) return false;
    }
    return true;
}

}  // namespace
}  // namespace qm

// The member table: the C members of a class's instances that make its
// state, one row each (name, kind, offset), in state order.  It is written
// once per class and drives the pickled form (pickle.hpp), and allocation,
// GC traversal and clearing and deallocation (classes.hpp).
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <span>

namespace qm {
namespace {

enum class MemberKind : unsigned char {
    int32,         // C int, pickled as int
    float32,       // C float, pickled as float
    object,        // any object; traversed and cleared by the GC
    bool_or_none,  // exactly bool or None; never traversed (it can't be part of a cycle)
};

struct Member {
    const char* name;
    MemberKind kind;
    std::size_t offset;
};

template <class T>
inline T& field(PyObject* o, std::size_t offset) noexcept {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(o) + offset);
}

inline bool holds_object(const Member& m) noexcept { return m.kind == MemberKind::object || m.kind == MemberKind::bool_or_none; }

// Whether instances can be part of a reference cycle: a member that holds any
// object (a bool-or-None member cannot).
constexpr bool collects_cycles(std::span<const Member> members) noexcept {
    for (const Member& m : members)
        if (m.kind == MemberKind::object) return true;
    return false;
}

constexpr bool name_before(const char* a, const char* b) noexcept {
    while (*a && *a == *b) ++a, ++b;
    return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b);
}

// Called where a member table is not in state order: not a constant
// expression, so the table's class fails to compile.
inline void member_names_must_be_sorted() noexcept {}

// A class's member table, checked as it compiles to be in state order (the
// names sorted), which the pickled form and the checksums rely on.
template <std::size_t N>
consteval std::span<const Member> pickled_members(const Member (&members)[N]) {
    for (std::size_t i = 1; i < N; ++i)
        if (!name_before(members[i - 1].name, members[i].name)) member_names_must_be_sorted();
    return members;
}

}  // namespace
}  // namespace qm

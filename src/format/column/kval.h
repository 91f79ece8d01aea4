// KVal: the dynamically typed cell value the writer receives. Owned and
// deep-copied; nesting depth is unbounded. Because a value may be nested far
// deeper than the call stack allows, copying and destroying a KVal walk the
// tree with an explicit worklist: neither recurses once per level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/bytes.h"

namespace varn {

struct KVal {
    // Declaration order; the nested encoder's tag bytes use another numbering.
    // (Kind::Bytes is scoped, so it hides nothing; -Wshadow flags it anyway.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
    enum class Kind : uint8_t { Int, Float, Bool, Str, Bytes, Null, Object, Array, Map };
#pragma GCC diagnostic pop
    using ObjectT = std::vector<std::pair<std::string, KVal>>;
    using ArrayT = std::vector<KVal>;
    using MapT = std::vector<std::pair<KVal, KVal>>;
    using Storage = std::variant<int64_t, double, bool, std::string, varn::Bytes, std::monostate,
                                 ObjectT, ArrayT, MapT>;

    Storage v;

    // Null. (Spelled out rather than a member initializer so that containers
    // of KVal can be default-constructed while the class is still incomplete.)
    KVal() noexcept : v(std::in_place_index<5>) {}
    // Deep copy, iterative: a chain a million levels deep copies in constant stack.
    KVal(const KVal& other);
    KVal(KVal&& other) noexcept : v(std::move(other.v)) {}
    // Assignments release the old tree only after the new value is in place, so
    // assigning a value its own member (a = std::move(a_child)) is safe.
    KVal& operator=(const KVal& other);
    KVal& operator=(KVal&& other) noexcept {
        KVal taken(std::move(other));
        v.swap(taken.v);
        return *this;  // `taken` now holds the old tree and releases it
    }
    // Releases the tree iteratively (see release_nested).
    ~KVal() {
        if (is_container()) release_nested();
    }

    static KVal make_int(int64_t x) { return KVal(std::in_place_index<0>, x); }
    static KVal make_float(double x) { return KVal(std::in_place_index<1>, x); }
    static KVal make_bool(bool x) { return KVal(std::in_place_index<2>, x); }
    static KVal make_str(std::string s) { return KVal(std::in_place_index<3>, std::move(s)); }
    static KVal make_bytes(varn::Bytes b) { return KVal(std::in_place_index<4>, std::move(b)); }
    static KVal make_null() { return KVal(); }
    static KVal make_object(ObjectT o) { return KVal(std::in_place_index<6>, std::move(o)); }
    static KVal make_array(ArrayT a) { return KVal(std::in_place_index<7>, std::move(a)); }
    static KVal make_map(MapT m) { return KVal(std::in_place_index<8>, std::move(m)); }

    Kind kind() const { return static_cast<Kind>(v.index()); }
    bool is_null() const { return kind() == Kind::Null; }
    // Object, Array or Map.
    bool is_container() const { return kind() >= Kind::Object; }
    // Number of pairs or elements of a container; 0 for a scalar.
    size_t member_count() const;

private:
    // Builds the variant in place (no whole-variant move of a temporary).
    template <size_t I, class T>
    KVal(std::in_place_index_t<I> tag, T&& x) : v(tag, std::forward<T>(x)) {}
    // Moves every non-empty container below this one into a flat worklist and
    // releases them one by one, so no destructor runs more than two levels deep.
    void release_nested() noexcept;
};

// One row: one cell per schema column; a shorter row reads as Null past its end.
using Row = std::vector<KVal>;

}  // namespace varn

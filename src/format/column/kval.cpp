// Deep copy and release of KVal trees without recursion. A cell may be nested
// millions of levels deep (nothing bounds it), so both walks keep their
// pending nodes in a heap-allocated worklist instead of on the call stack.
#include "format/column/kval.h"

namespace varn {

namespace {

// A container with at least one member: the only kind of node whose release
// or copy goes further down.
bool has_members(const KVal& x) {
    switch (x.kind()) {
        case KVal::Kind::Object: return !std::get<KVal::ObjectT>(x.v).empty();
        case KVal::Kind::Array: return !std::get<KVal::ArrayT>(x.v).empty();
        case KVal::Kind::Map: return !std::get<KVal::MapT>(x.v).empty();
        default: return false;
    }
}

// Moves the non-empty containers directly below `x` into `pending`; what is
// left in `x` (scalars and empty husks) is released without going deeper.
void detach_members(KVal& x, std::vector<KVal>& pending) {
    auto take = [&pending](KVal& m) {
        if (has_members(m)) pending.push_back(std::move(m));
    };
    switch (x.kind()) {
        case KVal::Kind::Object:
            for (auto& kv : std::get<KVal::ObjectT>(x.v)) take(kv.second);
            break;
        case KVal::Kind::Array:
            for (auto& e : std::get<KVal::ArrayT>(x.v)) take(e);
            break;
        case KVal::Kind::Map:
            for (auto& kv : std::get<KVal::MapT>(x.v)) {
                take(kv.first);
                take(kv.second);
            }
            break;
        default: break;
    }
}

using CopyWork = std::vector<std::pair<const KVal*, KVal*>>;

// Gives `d` the variant of `s`. A scalar is copied whole; a container gets its
// members' slots (sized once, so their addresses stay valid), scalar members
// are copied at once and container members are queued on `work`.
void copy_node(const KVal& s, KVal& d, CopyWork& work) {
    auto member = [&work](const KVal& sm, KVal& dm) {
        if (sm.is_container()) {
            work.emplace_back(&sm, &dm);
        } else {
            dm.v = sm.v;
        }
    };
    switch (s.kind()) {
        case KVal::Kind::Object: {
            const auto& so = std::get<KVal::ObjectT>(s.v);
            auto& dobj = d.v.emplace<KVal::ObjectT>();
            dobj.reserve(so.size());
            for (const auto& kv : so) dobj.emplace_back(kv.first, KVal());
            for (size_t i = 0; i < so.size(); ++i) member(so[i].second, dobj[i].second);
            break;
        }
        case KVal::Kind::Array: {
            const auto& sa = std::get<KVal::ArrayT>(s.v);
            auto& da = d.v.emplace<KVal::ArrayT>(sa.size());
            for (size_t i = 0; i < sa.size(); ++i) member(sa[i], da[i]);
            break;
        }
        case KVal::Kind::Map: {
            const auto& sm = std::get<KVal::MapT>(s.v);
            auto& dm = d.v.emplace<KVal::MapT>(sm.size());
            for (size_t i = 0; i < sm.size(); ++i) {
                member(sm[i].first, dm[i].first);
                member(sm[i].second, dm[i].second);
            }
            break;
        }
        default: d.v = s.v; break;
    }
}

}  // namespace

KVal::KVal(const KVal& other) {
    if (!other.is_container()) {
        v = other.v;
        return;
    }
    CopyWork work;
    copy_node(other, *this, work);
    while (!work.empty()) {
        auto [s, d] = work.back();
        work.pop_back();
        copy_node(*s, *d, work);
    }
}

KVal& KVal::operator=(const KVal& other) {
    if (this != &other) {
        KVal copy(other);
        v.swap(copy.v);
    }
    return *this;
}

size_t KVal::member_count() const {
    switch (kind()) {
        case Kind::Object: return std::get<ObjectT>(v).size();
        case Kind::Array: return std::get<ArrayT>(v).size();
        case Kind::Map: return std::get<MapT>(v).size();
        default: return 0;
    }
}

void KVal::release_nested() noexcept {
    std::vector<KVal> pending;
    detach_members(*this, pending);
    while (!pending.empty()) {
        KVal node(std::move(pending.back()));
        pending.pop_back();
        detach_members(node, pending);
    }  // each `node` is released here with nothing but scalars and husks below it
}

}  // namespace varn

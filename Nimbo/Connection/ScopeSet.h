#pragma once

// A set of a service's sign-in scopes, held as a bit set in which bit i stands for the scope of
// ordinal i. Each adapter names its scope enumeration, the integer that holds the bits as they are
// saved, and its highest scope.

#include <initializer_list>
#include <string>
#include <type_traits>

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

template <class TScope, class TBits, TScope AHighest>
requires std::is_enum_v<TScope> && std::is_unsigned_v<TBits>
class TNimboScopes {
public:
    constexpr TNimboScopes() = default;
    // EArgumentException for a scope beyond AHighest.
    constexpr TNimboScopes(std::initializer_list<TScope> AScopes) {
        for (TScope scope : AScopes) Include(scope);
    }

    // Every scope up to AHighest.
    static constexpr TNimboScopes All() {
        TNimboScopes all;
        for (int ordinal = 0; ordinal <= static_cast<int>(AHighest); ++ordinal)
            all.Include(static_cast<TScope>(ordinal));
        return all;
    }
    // The set as stored: every bit is kept, also those that stand for no scope.
    static constexpr TNimboScopes FromBits(TBits ABits) {
        TNimboScopes result;
        result.FBits = ABits;
        return result;
    }
    static constexpr TNimboScopes FromByte(TBits ABits) { return FromBits(ABits); }

    constexpr TBits Bits() const { return FBits; }
    constexpr TBits ToByte() const { return FBits; }
    constexpr bool IsEmpty() const { return FBits == 0; }
    constexpr bool Contains(TScope AScope) const { return AScope <= AHighest && (FBits & Bit(AScope)) != 0; }
    // True when every member of ASubset is in this set.
    constexpr bool ContainsAll(TNimboScopes ASubset) const { return (ASubset.FBits & ~FBits) == 0; }

    // EArgumentException for a scope beyond AHighest.
    constexpr TNimboScopes& Include(TScope AScope) {
        if (AScope > AHighest)
            throw EArgumentException("Scope " + std::to_string(static_cast<int>(AScope)) +
                                     " is not allowed here: the highest allowed is " +
                                     std::to_string(static_cast<int>(AHighest)));
        FBits = static_cast<TBits>(FBits | Bit(AScope));
        return *this;
    }
    constexpr TNimboScopes With(TScope AScope) const { return TNimboScopes(*this).Include(AScope); }
    constexpr TNimboScopes Without(TScope AScope) const { return FromBits(static_cast<TBits>(FBits & ~Bit(AScope))); }

    friend constexpr TNimboScopes operator+(TNimboScopes A, TNimboScopes B) {
        return FromBits(static_cast<TBits>(A.FBits | B.FBits));
    }
    friend constexpr TNimboScopes operator-(TNimboScopes A, TNimboScopes B) {
        return FromBits(static_cast<TBits>(A.FBits & ~B.FBits));
    }
    friend constexpr bool operator==(TNimboScopes, TNimboScopes) = default;

    // The texts of the members, in ordinal order, joined with ASeparator; AText gives a member's text.
    template <class TTextOf>
    std::string Join(char ASeparator, TTextOf AText) const {
        std::string text;
        for (int ordinal = 0; ordinal <= static_cast<int>(AHighest); ++ordinal) {
            const auto scope = static_cast<TScope>(ordinal);
            if (!Contains(scope)) continue;
            if (!text.empty()) text += ASeparator;
            text += AText(scope);
        }
        return text;
    }

private:
    static constexpr TBits Bit(TScope AScope) { return static_cast<TBits>(1u << static_cast<unsigned>(AScope)); }

    TBits FBits = 0;
};

}  // namespace Nimbo::Connection

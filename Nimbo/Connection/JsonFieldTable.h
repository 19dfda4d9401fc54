#pragma once

// The record fields of one decoder handler, found by exact JSON key.

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "Nimbo/Connection/Json.h"

namespace Nimbo::Connection {

// An open-addressing hash table from key to field, sized once when the handler is built.
class TFieldTable {
public:
    // A later field of the same name replaces the earlier one.
    void Add(std::string_view AName, TRecField AField) {
        for (TEntry& entry : FEntries)
            if (entry.Name == AName) {
                entry.Field = AField;
                return;
            }
        FEntries.push_back(TEntry{AName, HashOf(AName), AField});
        Rebuild();
    }

    const TRecField* Find(std::string_view AKey) const {
        if (FSlots.empty()) return nullptr;
        const std::uint32_t hash = HashOf(AKey);
        for (std::size_t i = hash & FMask;; i = (i + 1) & FMask) {
            const std::int32_t index = FSlots[i];
            if (index < 0) return nullptr;
            const TEntry& entry = FEntries[static_cast<std::size_t>(index)];
            if (entry.Hash == hash && entry.Name.size() == AKey.size() &&
                std::memcmp(entry.Name.data(), AKey.data(), AKey.size()) == 0)
                return &entry.Field;
        }
    }

private:
    struct TEntry {
        std::string_view Name;  // the field description's name, which lives as long as the program
        std::uint32_t Hash;
        TRecField Field;
    };

    // FNV-1a: keys are short, so a simple byte loop beats anything cleverer.
    static std::uint32_t HashOf(std::string_view AKey) {
        std::uint32_t hash = 2166136261u;
        for (const char c : AKey) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
        return hash;
    }

    // Keeps the table at most half full, so probes stay short and always end at an empty slot.
    void Rebuild() {
        std::size_t capacity = 4;
        while (capacity < FEntries.size() * 2) capacity *= 2;
        FSlots.assign(capacity, -1);
        FMask = capacity - 1;
        for (std::size_t e = 0; e < FEntries.size(); ++e) {
            std::size_t i = FEntries[e].Hash & FMask;
            while (FSlots[i] >= 0) i = (i + 1) & FMask;
            FSlots[i] = static_cast<std::int32_t>(e);
        }
    }

    std::vector<TEntry> FEntries;
    std::vector<std::int32_t> FSlots;
    std::size_t FMask = 0;
};

}  // namespace Nimbo::Connection

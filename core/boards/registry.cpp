#include "registry.h"

#include <algorithm>
#include <cstdio>

#include "discrete.h"
#include "mmc1.h"
#include "mmc3.h"
#include "ntdec2722.h"

namespace NES {

namespace {

template <class Board>
std::unique_ptr<Mapper> make() {
    return std::make_unique<Board>();
}

constexpr BoardEntry BOARDS[] = {
    {0, "NROM", make<NROM>},   {1, "MMC1", make<MMC1>}, {2, "UxROM", make<UxROM>},
    {3, "CNROM", make<CNROM>}, {4, "MMC3", make<MMC3>}, {40, "NTDEC 2722", make<NTDEC2722>},
};

// Strictly increasing, for the binary search.
static_assert(std::adjacent_find(std::begin(BOARDS), std::end(BOARDS), [](const BoardEntry& a, const BoardEntry& b) {
                  return a.number >= b.number;
              }) == std::end(BOARDS));

}  // namespace

std::span<const BoardEntry> boards() { return BOARDS; }

std::unique_ptr<Mapper> make_mapper(int number) { return make_mapper(number, true); }

std::unique_ptr<Mapper> make_mapper(int number, bool verbose) {
    const auto* entry = std::lower_bound(std::begin(BOARDS), std::end(BOARDS), number,
                                         [](const BoardEntry& e, int n) { return e.number < n; });
    if (entry != std::end(BOARDS) && entry->number == number) return entry->make();
    if (verbose) std::puts("UNRECOGNIZED MAPPER!");
    return std::make_unique<DEFAULT_MAPPER>(number);
}

}  // namespace NES

#include "registry.h"

#include <algorithm>
#include <cstdio>

#include "action53.h"
#include "discrete.h"
#include "fme7.h"
#include "mmc1.h"
#include "mmc2.h"
#include "mmc3.h"
#include "mmc5.h"
#include "namco108.h"
#include "ntdec2722.h"
#include "vrc.h"

namespace NES {

namespace {

template <class Board>
std::unique_ptr<Mapper> make() {
    return std::make_unique<Board>();
}

// A class that serves several mapper numbers.
template <class Board, int NUMBER>
std::unique_ptr<Mapper> make_numbered() {
    return std::make_unique<Board>(NUMBER);
}

// clang-format off
constexpr BoardEntry BOARDS[] = {
    {0,   "NROM",                    make<NROM>},
    {1,   "MMC1",                    make<MMC1>},
    {2,   "UxROM",                   make<UxROM>},
    {3,   "CNROM",                   make<CNROM>},
    {4,   "MMC3",                    make<MMC3>},
    {5,   "MMC5",                    make<MMC5>},
    {7,   "AxROM",                   make<AxROM>},
    {9,   "MMC2",                    make_numbered<MMC2, 9>},
    {10,  "MMC4",                    make_numbered<MMC2, 10>},
    {11,  "Color Dreams",            make<ColorDreams>},
    {21,  "VRC4a, VRC4c",            make_numbered<VRC4, 21>},
    {22,  "VRC2a",                   make_numbered<VRC4, 22>},
    {23,  "VRC4e, VRC4f, VRC2b",     make_numbered<VRC4, 23>},
    {24,  "VRC6a",                   make_numbered<VRC6, 24>},
    {25,  "VRC4b, VRC4d, VRC2c",     make_numbered<VRC4, 25>},
    {26,  "VRC6b",                   make_numbered<VRC6, 26>},
    {28,  "Action 53",               make<Action53>},
    {30,  "UNROM 512",               make<UNROM512>},
    {34,  "BNROM, NINA-001",         make<BNROM>},
    {40,  "NTDEC 2722",              make<NTDEC2722>},
    {66,  "GxROM",                   make<GxROM>},
    {69,  "Sunsoft FME-7",           make<FME7>},
    {71,  "Camerica BF909x",         make<Camerica>},
    {79,  "NINA-03, NINA-06",        make<NINA03>},
    {113, "NINA-03/06 multicart",    make<Multicart113>},
    {140, "Jaleco JF-11, JF-14",     make<Jaleco140>},
    {180, "UNROM (74HC08)",          make<UNROM180>},
    {206, "Namco 108, DxROM",        make<Namco108>},
};
// clang-format on

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

#include "explorer/res/Strings.h"

#include <array>
#include <string_view>

#ifndef BRAND_OFFSET
#define BRAND_OFFSET 116
#endif

static_assert(BRAND_OFFSET == 0 || BRAND_OFFSET == 96 || BRAND_OFFSET == 116,
              "BRAND_OFFSET selects one of the three family blocks: 0, 96 or 116");

namespace {

struct StringEntry {
  int id;
  std::string_view text;
};

// The program's string table. Each family owns a block of eight ids starting
// at 208 + its offset; the seventh slot of every block is deliberately empty.
constexpr std::array kStringTable{
    StringEntry{IDS_SOCKETS_INIT_FAILED, "Windows sockets initialization failed."},

    // First family (offset 0).
    StringEntry{208, "Quillbox Explorer"},
    StringEntry{209, "Quillbox"},
    StringEntry{210, "Root"},
    StringEntry{211, "&About Quillbox Explorer"},
    StringEntry{212, "Copyright (C) 2026 Quillbox Systems. All rights reserved."},
    StringEntry{213, "kqe"},
    StringEntry{215, "1.0.0"},

    // Second family (offset 96).
    StringEntry{304, "Marlin Relay Explorer"},
    StringEntry{305, "Marlin Relay"},
    StringEntry{306, "Admin"},
    StringEntry{307, "&About Marlin Relay Explorer"},
    StringEntry{308, "Copyright (C) 2026 Marlin Relay Networks. All rights reserved."},
    StringEntry{309, "harbour"},
    StringEntry{311, "1.0.0"},

    // Third family (offset 116), the delivered one.
    StringEntry{324, "Osprey Panel Explorer"},
    StringEntry{325, "Osprey Panel"},
    StringEntry{326, "Root"},
    StringEntry{327, "&About Osprey Panel Explorer"},
    StringEntry{328, "Copyright (C) 2026 Osprey Panel Controls. All rights reserved."},
    StringEntry{329, "kqe"},
    StringEntry{331, "1.0.0"},
};

}  // namespace

std::string LoadResString(int id) {
  for (const auto& entry : kStringTable) {
    if (entry.id == id) return std::string(entry.text);
  }
  return {};
}

std::string LoadBrandString(int baseId) { return LoadResString(baseId + BRAND_OFFSET); }

int BrandOffset() { return BRAND_OFFSET; }

#pragma once
// Windows' numbered resource types (RT_*) that the tool reads or writes.
#include <stdint.h>

enum : uint16_t {
    ResourceTypeDialog = 5,      // RT_DIALOG
    ResourceTypeString = 6,      // RT_STRING: tables of 16 strings, id / 16 + 1
    ResourceTypeGroupIcon = 14,  // RT_GROUP_ICON
    ResourceTypeVersion = 16,    // RT_VERSION
};

/// @file
/// @brief Canned operations: named, fixed recipes of PS key changes ("@usb", "@sleep_disable",
/// ...), each step run by CKeyWarder::apply_canned like one line of an applied PS file.
#pragma once

#include <keyward/export.h>
#include <keyward/psfile.h>

#include <cstdint>

/// One step of a recipe. A step for a key whose database structure is a 32-bit value writes two
/// words, most significant first; any other step writes value & 0xFFFF. A key of 0 ends a list.
struct canned_operation {
    /// The operation, as on a PS file line.
    ps_file_op op;
    /// The key; 0 ends the list.
    uint16_t key;
    /// The value written.
    uint32_t value;
};

/// One named recipe. Names begin with '@' and are matched without regard to case; several
/// names (aliases) may share one list of steps.
struct canned_entry {
    /// The name, "@usb"; null ends the table.
    const wchar_t* name;
    /// What the recipe does, in one line.
    const wchar_t* description;
    /// The steps, ended by a step with key 0.
    const canned_operation* operations;
};

/// The 29 recipes, followed by an entry with a null name and null operations.
extern KEYWARD_API const canned_entry canned[];

/// @file
/// @brief Marks the classes and functions that the keyward library exports; everything else in the
/// library is hidden.
#pragma once

#if defined(__cplusplus) && __cplusplus < 202002L
#error "The keyward headers need C++20 or newer: compile with -std=c++20 (or a newer standard)."
#endif

/// Marks a class or function that the keyward library exports.
#define KEYWARD_API __attribute__((visibility("default")))
/// Marks the inside of an exported class (its private parts) as not exported.
#define KEYWARD_LOCAL __attribute__((visibility("hidden")))

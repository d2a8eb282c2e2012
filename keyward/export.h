// Marks the classes and functions that the keyward library exports; everything else in the
// library is hidden.
#pragma once

#define KEYWARD_API __attribute__((visibility("default")))

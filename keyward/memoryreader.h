/// @file
/// @brief Chip memory addresses and the interface of everything that can read chip memory.
#pragma once

#include <keyward/export.h>

#include <cstdint>

/// An address in chip memory: a memory space number and a byte address within that space.
/// keyward itself reads memory space 4, the chip's data memory of 16-bit words, where word
/// address w lies at byte address 2 x w.
struct GenericPointer {
    /// The memory space number (4: data memory).
    uint32_t space;
    /// The byte address within the space.
    uint32_t address;
};

/// Reads chip memory. Implemented by every PS server and by every kvcmd transport.
class KEYWARD_API IMemoryReaderGP {
  public:
    /// Reads `length` 16-bit words starting at `where` into `out`. False when they cannot be read.
    virtual bool read_mem(GenericPointer where, uint16_t length, uint16_t* out) = 0;

  protected:
    /// Not deleted through this interface.
    ~IMemoryReaderGP() = default;
};

/// The kind of a chip reset. keyward passes it through unchanged; its values are the transport's.
typedef int reset_t;

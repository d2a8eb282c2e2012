/// @file
/// @brief The simulated chip and its KVCMD transport. See simchip.h for the model and the image
/// format.
///
///     auto chip = std::make_shared<kvcmdsim::SimChip>();
///     chip->SetKey(kvcmdsim::STORE_IMPLEMENTATION, 0x01F9, {3});
///     PsKvcmd server(new kvcmdsim::SimTransport(chip));
///     CKeyWarder keys(&server);
#pragma once

#include <kvcmdsim/simchip.h>
#include <kvcmdsim/simtransport.h>

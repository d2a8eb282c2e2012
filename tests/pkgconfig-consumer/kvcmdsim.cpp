// Built with `pkg-config --cflags --libs keyward kvcmdsim`: writes a PS key of a simulated chip
// through keyward and finds the words in the chip.
#include <keyward/keyward.h>
#include <kvcmdsim/kvcmdsim.h>

#include <cstdio>
#include <memory>

int main() {
    auto chip = std::make_shared<kvcmdsim::SimChip>();
    PsKvcmd server(new kvcmdsim::SimTransport(chip));
    CKeyWarder keys(&server);
    if (!keys.pskv_set_uint16(0x01F9, 3)) {  // PSKEY_HOST_INTERFACE
        std::fprintf(stderr, "writing PSKEY_HOST_INTERFACE failed\n");
        return 1;
    }
    const auto words = chip->ReadKey(0x01F9);
    if (!words || words->size() != 1 || words->at(0) != 3) {
        std::fprintf(stderr, "the chip does not hold the written key\n");
        return 1;
    }
    return 0;
}

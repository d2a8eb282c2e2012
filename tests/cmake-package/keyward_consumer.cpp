// Reads and writes PS keys of a simulated chip through the installed keyward and kvcmdsim, then
// dumps the chip to a PS file and checks the written key's line.
#include <keyward/keyward.h>
#include <kvcmdsim/kvcmdsim.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

int main() {
    auto chip = std::make_shared<kvcmdsim::SimChip>();
    chip->SetKey(kvcmdsim::STORE_IMPLEMENTATION, 0x01F9, {3});

    PsKvcmd server(new kvcmdsim::SimTransport(chip));
    CKeyWarder keys(&server);
    uint16_t value = 0;
    if (!keys.pskv_get_uint16(0x01F9, value) || value != 3) {
        std::fprintf(stderr, "reading PSKEY_HOST_INTERFACE failed\n");
        return 1;
    }
    if (!keys.pskv_set_uint32(0x01EA, 115200) || chip->ReadKey(0x01EA)->at(1) != 0xC200) {
        std::fprintf(stderr, "writing PSKEY_UART_BITRATE failed\n");
        return 1;
    }
    const pskey_entry* entry = CKeyWarder::GetKeyDetails(0x01F9);
    const wchar_t* meaning = L"?";
    for (const string_val_pair* e = CKeyWarder::get_enum_list(entry->minimum); e->text; ++e) {
        if (e->value == value) {
            meaning = e->text;
        }
    }
    std::printf("%s = %u (%s)\n", keyward::Narrow(entry->identifier).c_str(), value,
                keyward::Narrow(meaning).c_str());

    const std::string dump = "keyward_consumer_dump.ps";
    if (!keys.dump_ps(keyward::Widen(dump).c_str(), 0)) {
        std::fprintf(stderr, "dumping the chip failed\n");
        return 1;
    }
    std::ifstream in(dump);
    std::stringstream text;
    text << in.rdbuf();
    if (text.str().find("&01ea = 0001 c200") == std::string::npos) {
        std::fprintf(stderr, "the dump lacks PSKEY_UART_BITRATE:\n%s", text.str().c_str());
        return 1;
    }
    std::printf("dumped %zu bytes\n", text.str().size());
    return 0;
}

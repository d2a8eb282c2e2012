// Typed access to a chip's persistent store, a PS file, and what a failure looks like: on the
// simulated chip of kvcmdsim, so it runs without hardware.
//
//   keyward_typed [FOLDER]      writes its PS files into FOLDER (default: the current folder)
#include <keyward/keyward.h>
#include <keyward/version.h>
#include <kvcmdsim/kvcmdsim.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

namespace {

// Shows every report on standard error and keeps the library's answer: abort on an error.
class PrintingHandler : public kvcmd_trans_error_handler {
  public:
    kvcmd_trans_error_response answer(const wchar_t* text, const wchar_t* caption, int code,
                                      int type) override {
        if (type != -1) {  // -1: progress notes of files and dumps
            std::fprintf(stderr, "  reported: %ls: %ls (code %d)\n", caption, text, code);
        }
        return kvcmd_trans_error_handler::answer(text, caption, code, type);
    }
};

constexpr uint16_t PSKEY_HOST_INTERFACE = 0x01F9;
constexpr uint16_t PSKEY_USR0 = 0x028A;

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : ".";
    std::printf("keyward %s (headers %s)\n", keyward_version(), KEYWARD_VERSION_STRING);

    auto chip = std::make_shared<kvcmdsim::SimChip>();  // a blank chip
    PsKvcmd server(new kvcmdsim::SimTransport(chip));   // the server owns the transport
    PrintingHandler handler;                            // must outlive its use by the server
    server.set_error_handler(&handler);
    if (!server.open()) {
        std::fprintf(stderr, "cannot open the chip\n");
        return 1;
    }
    CKeyWarder keys(&server);  // takes the server's handler; owns nothing

    // Typed reads and writes.
    uint16_t value = 0;
    if (!keys.pskv_set_uint16(PSKEY_HOST_INTERFACE, 3) ||
        !keys.pskv_get_uint16(PSKEY_HOST_INTERFACE, value) || value != 3) {
        return 1;
    }
    const pskey_entry* entry = CKeyWarder::GetKeyDetails(PSKEY_HOST_INTERFACE);
    std::printf("%ls = %u (%ls)\n", entry->identifier, value, entry->label);
    if (!keys.pskv_set_uint32(PSKEY_USR0, 0x00010002u)) {
        return 1;
    }

    // A PS file: applied line by line, then the chip dumped back into another file.
    const std::string applied = folder + "/settings.ps";
    const std::string dumped = folder + "/dump.ps";
    std::ofstream(applied) << "&01f9 = 0002\n&028a = 0005 0006 0007\n";
    if (!keys.apply_file(keyward::Widen(applied).c_str()) ||
        !keys.dump_ps(keyward::Widen(dumped).c_str(), PS_FILE_ANNOTATED)) {
        return 1;
    }
    std::printf("applied %s, dumped the chip to %s\n", applied.c_str(), dumped.c_str());

    // A failure: the chip refuses the next read of the key. The read returns false, the
    // handler was told, and its record describes the failure.
    chip->FailRequests(KVCMD_PSSIZE_PDU::VARID, PSKEY_HOST_INTERFACE,
                       KVCMD_PDU::STATUS_ACCESS_DENIED, 3);
    if (keys.pskv_get_uint16(PSKEY_HOST_INTERFACE, value)) {
        std::fprintf(stderr, "the refused read succeeded\n");
        return 1;
    }
    std::printf("the refused read failed: \"%ls\"\n", handler.get_last_error_text());

    // A write the chip refuses: the server's result says only that the chip answered, so a
    // caller that must know checks the handler's record after the call.
    chip->FailRequests(KVCMD_PS_PDU::VARID, PSKEY_USR0, KVCMD_PDU::STATUS_READ_ONLY);
    const bool answered = keys.pskv_set_raw(PSKEY_USR0, &value, 1);
    const bool stored = answered && handler.get_last_error_code() == 0;
    std::printf("refused write: result %s, stored %s\n", answered ? "true" : "false",
                stored ? "yes" : "no");
    return stored ? 1 : 0;
}

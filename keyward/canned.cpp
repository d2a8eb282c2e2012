// The canned operations: the recipe table and CKeyWarder's members that run it.
#include "trace.h"

#include <keyward/keywarder.h>

#include <cwchar>
#include <ostream>
#include <string>

namespace {

// PSKEY_HOST_INTERFACE, PSKEY_UART_CONFIG and the values the transports give them.
constexpr uint16_t kHostInterface = 0x01F9;
constexpr uint16_t kUartConfig = 0x0205;
constexpr uint16_t kUartBaudrate = 0x01BE;
constexpr uint16_t kUartBitrate = 0x01EA;
constexpr uint16_t kUsbVmControl = 0x03C0;
constexpr uint16_t kVmDisable = 0x025D;
constexpr uint16_t kDeepSleepState = 0x0229;
constexpr uint16_t kHostioMapScoPcm = 0x01AB;
constexpr uint16_t kInitialBootmode = 0x03CD;
constexpr uint16_t kOnchipHciClient = 0x03CC;
constexpr uint16_t kUsr0 = 0x028A;  // PSKEY_USR0 to PSKEY_USR49 follow it

constexpr canned_operation kEnd{0, 0, 0};

const canned_operation kH4[] = {
    {PS_OP_SET, kHostInterface, 0x0003}, {PS_OP_UPDATE, kUartConfig, 0x00A8}, kEnd};
const canned_operation kH5[] = {
    {PS_OP_SET, kHostInterface, 0x0006}, {PS_OP_UPDATE, kUartConfig, 0x0006}, kEnd};
const canned_operation kKvsp[] = {
    {PS_OP_SET, kHostInterface, 0x0001}, {PS_OP_UPDATE, kUartConfig, 0x0006}, kEnd};
const canned_operation kUsb[] = {
    {PS_OP_SET, kHostInterface, 0x0002}, {PS_OP_SET, kUsbVmControl, 0x0000}, kEnd};
const canned_operation kUsbVm[] = {
    {PS_OP_SET, kHostInterface, 0x0002}, {PS_OP_SET, kUsbVmControl, 0x0001}, kEnd};
const canned_operation kRaw[] = {
    {PS_OP_SET, kHostInterface, 0x0004}, {PS_OP_UPDATE, kUartConfig, 0x00A8}, kEnd};
const canned_operation kNone[] = {
    {PS_OP_SET, kHostInterface, 0x0000}, {PS_OP_UPDATE, kUartConfig, 0x0006}, kEnd};
const canned_operation k19200[] = {
    {PS_OP_SET, kUartBaudrate, 0x004F}, {PS_OP_SET, kUartBitrate, 0x00004B00}, kEnd};
const canned_operation k38400[] = {
    {PS_OP_SET, kUartBaudrate, 0x009D}, {PS_OP_SET, kUartBitrate, 0x00009600}, kEnd};
const canned_operation k57600[] = {
    {PS_OP_SET, kUartBaudrate, 0x00EC}, {PS_OP_SET, kUartBitrate, 0x0000E100}, kEnd};
const canned_operation k115200[] = {
    {PS_OP_SET, kUartBaudrate, 0x01D8}, {PS_OP_SET, kUartBitrate, 0x0001C200}, kEnd};
const canned_operation k230400[] = {
    {PS_OP_SET, kUartBaudrate, 0x03B0}, {PS_OP_SET, kUartBitrate, 0x00038400}, kEnd};
const canned_operation k460800[] = {
    {PS_OP_SET, kUartBaudrate, 0x075F}, {PS_OP_SET, kUartBitrate, 0x00070800}, kEnd};
const canned_operation k921600[] = {
    {PS_OP_SET, kUartBaudrate, 0x0EBF}, {PS_OP_SET, kUartBitrate, 0x000E1000}, kEnd};
const canned_operation kVmEnable[] = {{PS_OP_SET, kVmDisable, 0x0000}, kEnd};
const canned_operation kVmDisableSteps[] = {{PS_OP_SET, kVmDisable, 0x0001}, kEnd};

// Deletes of PSKEY_USR0 to PSKEY_USR49.
struct DeleteUserKeys {
    canned_operation steps[51];
    constexpr DeleteUserKeys() : steps() {
        for (uint16_t i = 0; i < 50; ++i) {
            steps[i] = {PS_OP_DELETE, static_cast<uint16_t>(kUsr0 + i), 0};
        }
        steps[50] = kEnd;
    }
};
constexpr DeleteUserKeys kDelUsr;

const canned_operation kSleepDisable[] = {{PS_OP_SET, kDeepSleepState, 0x0000}, kEnd};
const canned_operation kSleepEnable[] = {{PS_OP_SET, kDeepSleepState, 0x0001}, kEnd};
const canned_operation kSleepEnableInactive[] = {{PS_OP_SET, kDeepSleepState, 0x0002}, kEnd};
const canned_operation kScoPcm[] = {{PS_OP_SET, kHostioMapScoPcm, 0x0001}, kEnd};
const canned_operation kDefaultBootMode[] = {{PS_OP_DELETE, kInitialBootmode, 0}, kEnd};
const canned_operation kHciOnchip[] = {{PS_OP_SET, kOnchipHciClient, 0x0001}, kEnd};
const canned_operation kHciExternal[] = {{PS_OP_SET, kOnchipHciClient, 0x0000}, kEnd};

constexpr int kCannedCount = 29;

}  // namespace

const canned_entry canned[kCannedCount + 1] = {
    {L"@h4", L"Sets transport to H4", kH4},
    {L"@h5", L"Sets transport to H5/TWU", kH5},
    {L"@TWU", L"Sets transport to H5/TWU", kH5},
    {L"@kvsp", L"Sets transport to KVSP", kKvsp},
    {L"@usb", L"Sets transport to USB", kUsb},
    {L"@usb_vm", L"Sets transport to USB, but with the VM providing descriptors", kUsbVm},
    {L"@raw", L"Sets transport to Raw", kRaw},
    {L"@user", L"Sets transport to Raw", kRaw},
    {L"@none", L"Sets transport to None", kNone},
    {L"@19200", L"Sets UART Baud", k19200},
    {L"@38400", L"Sets UART Baud", k38400},
    {L"@57600", L"Sets UART Baud", k57600},
    {L"@115200", L"Sets UART Baud", k115200},
    {L"@230400", L"Sets UART Baud", k230400},
    {L"@460800", L"Sets UART Baud", k460800},
    {L"@921600", L"Sets UART Baud", k921600},
    {L"@vm_enable", L"Enables Vistem VM", kVmEnable},
    {L"@enable", L"Enables Vistem VM (deprecated)", kVmEnable},
    {L"@vm_disable", L"Disables Vistem VM", kVmDisableSteps},
    {L"@disable", L"Disables Vistem VM (deprecated)", kVmDisableSteps},
    {L"@del_usr", L"Deletes all VM keys (Caution!)", kDelUsr.steps},
    {L"@no_sleep", L"Disables Deep Sleep for reliable SPI PS operation (deprecated)",
     kSleepDisable},
    {L"@sleep_disable", L"Disables Deep Sleep for reliable SPI PS operation", kSleepDisable},
    {L"@sleep_enable", L"Enables Deep Sleep, which may causes unreliable SPI PS operation",
     kSleepEnable},
    {L"@sleep_enable_inactive", L"Enables Deep Sleep, only when there are no active connections",
     kSleepEnableInactive},
    {L"@sco_pcm", L"Ensures that SCO is routed over internal PCM", kScoPcm},
    {L"@default_boot_mode", L"Forces the initial boot mode to be the firmware default.",
     kDefaultBootMode},
    {L"@hci_onchip", L"HCI commands routed to on-chip client (e.g. to internal rfcomm)",
     kHciOnchip},
    {L"@hci_external", L"HCI commands routed externally (e.g. to external stack)", kHciExternal},
    {nullptr, nullptr, nullptr},
};

namespace {

constexpr size_t kUnsupportedLimit = 256;  // characters of the unknown-name report
constexpr pskey_structure kStructureUint32 = 43;

const canned_entry* FindCanned(const wchar_t* name) {
    if (name == nullptr) {
        return nullptr;
    }
    for (const canned_entry* entry = canned; entry->name != nullptr; ++entry) {
        if (::wcscasecmp(entry->name, name) == 0) {
            return entry;
        }
    }
    return nullptr;
}

}  // namespace

int CKeyWarder::get_num_canned_entries() {
    return kCannedCount;
}

bool CKeyWarder::is_valid_canned(const wchar_t* name) {
    return FindCanned(name) != nullptr;
}

bool CKeyWarder::apply_canned(const wchar_t* name) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    const canned_entry* entry = FindCanned(name);
    if (entry != nullptr) {
        result = apply_canned(entry->operations);
        return result;
    }
    kvcmd_trans_error_handler* handler = server != nullptr ? server->get_error_handler() : nullptr;
    if (handler != nullptr) {
        std::wstring text =
            std::wstring(L"Canned operation ") + (name != nullptr ? name : L"") + L" not supported";
        if (text.size() > kUnsupportedLimit) {
            text.resize(kUnsupportedLimit);
        }
        handler->on_error(text.c_str(), L"ERROR", 1, 0);
    }
    return result;
}

bool CKeyWarder::apply_canned(int index) {
    if (index < 0 || index >= get_num_canned_entries()) {
        return false;
    }
    return apply_canned(canned[index].operations);
}

bool CKeyWarder::apply_canned(const canned_operation* operations) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (server == nullptr || operations == nullptr) {
        return result;
    }
    // Steps are skipped for keys the chip lacks, which only an open server knows.
    server->get_connected();
    std::ostream discard(nullptr);
    for (const canned_operation* step = operations; step->key != 0; ++step) {
        const pskey_entry* entry = findKey(step->key);
        if (entry == nullptr || !server->key_exists(step->key)) {
            continue;
        }
        uint16_t words[2];
        uint16_t count = 1;
        if (entry->structure == kStructureUint32) {
            words[0] = static_cast<uint16_t>(step->value >> 16);
            words[1] = static_cast<uint16_t>(step->value & 0xFFFF);
            count = 2;
        } else {
            words[0] = static_cast<uint16_t>(step->value & 0xFFFF);
        }
        if (perform_operation(step->op, false, step->key, words, count, discard, PS_FILE_PLAIN)) {
            return result;
        }
    }
    result = true;
    return result;
}

#include <keyward/widetext.h>
#include <kvcmdsim/simtransport.h>
#include <ostrel/ostrel.h>

#include <algorithm>
#include <string_view>
#include <vector>

namespace kvcmdsim {

SimTransport::SimTransport(std::shared_ptr<SimChip> chip) : mChip(std::move(chip)), mTable(this) {
    mTable.set_chip_identity(&mIdentity);
}

SimTransport::~SimTransport() {
    // The client's handler may be gone by now: report a failed save to the diagnostics only.
    mOpen = false;
    std::string error;
    if (!mChip->Flush(&error)) {
        OSTREL_SET_ERROR(CMessageHandler::GROUP_KVCMD, error);
    }
}

bool SimTransport::read_mem(GenericPointer where, uint16_t length, uint16_t* out) {
    bool result = false;
    OSTREL_TRACE_RETURN(CMessageHandler::GROUP_KVCMD, result);
    if (!mOpen || where.address % 2 != 0) {
        return result;
    }
    if (where.space != DATA_SPACE) {
        result = mChip->DebugRead(where.space, where.address / 2, length, out);
        return result;
    }
    result = read_mem_by_kvcmd(where, length, out);
    return result;
}

bool SimTransport::reset_kv(reset_t how) {
    return mOpen && mChip->Reset(how);
}

bool SimTransport::reset_kv_and_close(reset_t how) {
    const bool reset = reset_kv(how);
    return close() && reset;
}

bool SimTransport::get_firmware_id(int* const id, uint16_t* name, unsigned name_capacity) {
    if (!mOpen) {
        return false;
    }
    if (id != nullptr) {
        *id = mChip->FirmwareId();
    }
    if (name != nullptr && name_capacity > 0) {
        const std::wstring text = mChip->FirmwareName();
        const size_t count = std::min<size_t>(text.size(), name_capacity - 1);
        for (size_t i = 0; i < count; ++i) {
            name[i] = text[i] <= 0xFFFF ? static_cast<uint16_t>(text[i]) : u'?';
        }
        name[count] = 0;
    }
    return true;
}

bool SimTransport::is_layer_a_supported() {
    return mChip->LayerA();
}

bool SimTransport::get_slt(SlTable*& table, bool refresh) {
    if (!mOpen) {
        return false;
    }
    // A new connection may reach another chip: identify it again and search its table anew.
    if (refresh || !mIdentityRead) {
        mTable.clear();
        mIdentity = ChipIdentity();
        uint16_t words[3];
        if (read_mem(GenericPointer{DATA_SPACE, 2 * VERSION_WORD_ADDRESS}, 3, words)) {
            if (words[2] != 0) {
                mIdentity.identify_from_version_and_sub_id(words[0], words[2]);
            } else {
                mIdentity.identify_from_words(words[0], words[1]);
            }
        }
        mIdentityRead = true;
    }
    table = &mTable;
    return true;
}

unsigned SimTransport::send_attempts() {
    return mSendAttempts;
}

bool SimTransport::open(int /*how*/) {
    bool result = false;
    OSTREL_TRACE_RETURN(CMessageHandler::GROUP_KVCMD, result);
    if (!mOpen && mChip->Reachable()) {
        mOpen = true;
        mIdentityRead = false;
        mChip->CountOpen();
    }
    result = mOpen;
    return result;
}

bool SimTransport::close() {
    bool result = true;
    OSTREL_TRACE_RETURN(CMessageHandler::GROUP_KVCMD, result);
    mOpen = false;
    std::string error;
    if (!mChip->Flush(&error)) {
        raise_error(keyward::Widen(error).c_str(), L"Simulated chip", 3, 0);
        result = false;
    }
    return result;
}

bool SimTransport::is_open() {
    return mOpen;
}

const char* SimTransport::getvar(const char* name) {
    if (name == nullptr) {
        return "";
    }
    // Found without building a string of the name: a PS command stream asks for one on every
    // line it writes.
    auto it = mVars.find(std::string_view(name));
    if (it == mVars.end()) {
        it = mVars.emplace(name, std::string()).first;
    }
    it->second = mChip->Var(it->first);
    return it->second.c_str();
}

int SimTransport::transact(const PDU& request, PDU& response) {
    if (!mOpen) {
        return 1;
    }
    // The chip sees the sequence number in the request; the caller's request stays as it was
    // built.
    return mChip->Exchange(request, ++mSequence, response);
}

}  // namespace kvcmdsim

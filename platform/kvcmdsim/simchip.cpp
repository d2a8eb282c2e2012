// The simulated chip: stores, firmware, settings, counters, faults, the image and the link.
// Its memory is in memory.cpp, its KVCMD commands in commands.cpp.
#include "state.h"

#include <kvcmdsim/simchip.h>

#include "common/userfiles.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

namespace kvcmdsim {

// ---------------------------------------------------------------- construction

SimChip::SimChip() : mState(std::make_unique<State>()) {
    mState->content = ChipContent::Blank();
}

SimChip::~SimChip() {
    std::string error;
    if (!Flush(&error)) {
        std::fprintf(stderr, "kvcmdsim: %s\n", error.c_str());
    }
}

// ---------------------------------------------------------------- persistent store

void SimChip::SetKey(uint16_t store, uint16_t key, const std::vector<uint16_t>& value) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.stores[store][key] = value;
    if (mState->content.firmwareKeys.Insert(key)) {
        mState->firmwareMemoryStale = true;
    }
    mState->dirty = true;
}

std::optional<std::vector<uint16_t>> SimChip::GetKey(uint16_t store, uint16_t key) const {
    std::lock_guard<std::mutex> guard(mLock);
    const auto s = mState->content.stores.find(store);
    if (s == mState->content.stores.end()) {
        return std::nullopt;
    }
    const auto k = s->second.find(key);
    if (k == s->second.end()) {
        return std::nullopt;
    }
    return k->second;
}

std::optional<std::vector<uint16_t>> SimChip::ReadKey(uint16_t key, uint16_t stores) const {
    std::lock_guard<std::mutex> guard(mLock);
    const Value* value = FindValue(mState->content, key, stores);
    if (value == nullptr) {
        return std::nullopt;
    }
    return *value;
}

bool SimChip::EraseKey(uint16_t store, uint16_t key) {
    std::lock_guard<std::mutex> guard(mLock);
    const bool erased = mState->content.stores[store].erase(key) != 0;
    mState->dirty = mState->dirty || erased;
    return erased;
}

void SimChip::ClearStore(uint16_t store) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.stores.erase(store);
    mState->dirty = true;
}

std::vector<uint16_t> SimChip::KeysIn(uint16_t store) const {
    std::lock_guard<std::mutex> guard(mLock);
    std::vector<uint16_t> keys;
    const auto s = mState->content.stores.find(store);
    if (s != mState->content.stores.end()) {
        for (const auto& entry : s->second) {
            keys.push_back(entry.first);
        }
    }
    return keys;
}

// ---------------------------------------------------------------- firmware

// Each edit marks the firmware's key list in memory for rebuilding on the next read.
void SimChip::SetFirmwareKeys(const std::vector<KeyRange>& ranges) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.firmwareKeys.Clear();
    for (const KeyRange& range : ranges) {
        mState->content.firmwareKeys.Insert(range);
    }
    mState->firmwareMemoryStale = true;
    mState->dirty = true;
}

void SimChip::AddFirmwareKeys(KeyRange range) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.firmwareKeys.Insert(range);
    mState->firmwareMemoryStale = true;
    mState->dirty = true;
}

void SimChip::RemoveFirmwareKeys(KeyRange range) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.firmwareKeys.Erase(range);
    mState->firmwareMemoryStale = true;
    mState->dirty = true;
}

std::vector<KeyRange> SimChip::FirmwareKeys() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->content.firmwareKeys.Ranges();
}

void SimChip::ClearPresentationKeys() {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.presentation.Clear();
    mState->dirty = true;
}

void SimChip::SetFirmwareId(int id, const std::wstring& name) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.firmwareId = id;
    mState->content.firmwareName = name;
    mState->dirty = true;
}

int SimChip::FirmwareId() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->content.firmwareId;
}

std::wstring SimChip::FirmwareName() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->content.firmwareName;
}

void SimChip::SetChipWords(uint16_t version, uint16_t second, uint16_t sub_id) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.versionWord = version;
    mState->content.secondWord = second;
    mState->content.subId = sub_id;
    mState->firmwareMemoryStale = true;
    mState->dirty = true;
}

void SimChip::SetLayerA(bool supported) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.layerA = supported;
    mState->dirty = true;
}

bool SimChip::LayerA() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->content.layerA;
}

void SimChip::SetSecure(bool secure) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.secure = secure;
    mState->dirty = true;
}

bool SimChip::Secure() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->content.secure;
}

void SimChip::SetWriteProtected(bool prot) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.writeProtected = prot;
    mState->dirty = true;
}

void SimChip::SetMaxPduWords(uint16_t words) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.maxPduWords = std::max<uint16_t>(words, 9);
    mState->dirty = true;
}

void SimChip::SetVar(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.vars[name] = value;
    mState->dirty = true;
}

void SimChip::RemoveVar(const std::string& name) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.vars.erase(name);
    mState->dirty = true;
}

std::string SimChip::Var(const std::string& name) const {
    std::lock_guard<std::mutex> guard(mLock);
    const auto it = mState->content.vars.find(name);
    return it != mState->content.vars.end() ? it->second : std::string();
}

// ---------------------------------------------------------------- counters

size_t CountTable::Home(uint32_t number) const {
    // Fibonacci hashing: consecutive key numbers land far apart.
    return static_cast<size_t>((number * 0x9E3779B1u) >> 8) & (mSlots.size() - 1);
}

void CountTable::Add(uint32_t number) {
    if (2 * (mUsed + 1) > mSlots.size()) {
        Grow();
    }
    for (size_t i = Home(number);; i = (i + 1) & (mSlots.size() - 1)) {
        Slot& slot = mSlots[i];
        if (slot.count == 0) {
            slot = {number, 1};
            ++mUsed;
            return;
        }
        if (slot.number == number) {
            ++slot.count;
            return;
        }
    }
}

uint64_t CountTable::Count(uint32_t number) const {
    if (mUsed == 0) {
        return 0;
    }
    for (size_t i = Home(number);; i = (i + 1) & (mSlots.size() - 1)) {
        const Slot& slot = mSlots[i];
        if (slot.count == 0 || slot.number == number) {
            return slot.count;
        }
    }
}

void CountTable::Clear() {
    if (mUsed != 0) {
        std::fill(mSlots.begin(), mSlots.end(), Slot{0, 0});
        mUsed = 0;
    }
}

void CountTable::Grow() {
    std::vector<Slot> old(std::max<size_t>(2 * mSlots.size(), 64), Slot{0, 0});
    old.swap(mSlots);
    mUsed = 0;
    for (const Slot& slot : old) {
        if (slot.count != 0) {
            size_t i = Home(slot.number);
            while (mSlots[i].count != 0) {
                i = (i + 1) & (mSlots.size() - 1);
            }
            mSlots[i] = slot;
            ++mUsed;
        }
    }
}

uint64_t SimChip::TransactCount() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->transacts;
}

uint64_t SimChip::RequestCount(uint16_t varid) const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->perVarid.Count(varid);
}

uint64_t SimChip::RequestCount(uint16_t varid, uint16_t key) const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->perKey.Count(static_cast<uint32_t>(varid) << 16 | key);
}

uint64_t SimChip::OpenCount() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->opens;
}

uint64_t SimChip::ResetCount() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->resets;
}

uint64_t SimChip::OverlappingTransacts() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->overlaps;
}

std::vector<std::vector<uint8_t>> SimChip::RequestLog() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->log.Copy();
}

void SimChip::ResetCounters() {
    std::lock_guard<std::mutex> guard(mLock);
    mState->transacts = 0;
    mState->perVarid.Clear();
    mState->perKey.Clear();
    mState->opens = 0;
    mState->resets = 0;
    mState->overlaps = 0;
    mState->log.Clear();
}

// ---------------------------------------------------------------- faults

void SimChip::FailRequests(uint16_t varid, int key, uint16_t status, int times) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->failRules.push_back({varid, key, status, times});
}

void SimChip::QueueTransactResults(const std::vector<int>& results) {
    std::lock_guard<std::mutex> guard(mLock);
    for (int result : results) {
        LinkStep step;
        step.kind = result == 0 ? LinkStep::PROCESS : LinkStep::FAIL;
        step.result = result;
        mState->linkSteps.push_back(step);
    }
}

void SimChip::QueueException(const std::wstring& text) {
    std::lock_guard<std::mutex> guard(mLock);
    LinkStep step;
    step.kind = LinkStep::THROW;
    step.text = text;
    mState->linkSteps.push_back(step);
}

void SimChip::SetRequestDelay(std::chrono::microseconds delay) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->delay = delay;
}

void SimChip::SetUnreachable(bool unreachable) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->unreachable = unreachable;
}

void SimChip::SetSilent(bool silent) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->silent = silent;
}

void SimChip::ClearFaults() {
    std::lock_guard<std::mutex> guard(mLock);
    mState->failRules.clear();
    mState->linkSteps.clear();
    mState->delay = std::chrono::microseconds(0);
    mState->unreachable = false;
    mState->silent = false;
}

// ---------------------------------------------------------------- image

bool SimChip::Load(const std::string& path, std::string* error) {
    // Only a regular file: a FIFO would hold the load until killed, and a folder must not load
    // as an empty image.
    std::string text;
    std::string why;
    if (!varnak::ReadRegularFile(path, text, &why)) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    }
    if (!LoadText(text, error)) {
        if (error != nullptr) {
            *error = path + ": " + *error;
        }
        return false;
    }
    return true;
}

bool SimChip::LoadText(const std::string& text, std::string* error) {
    ChipContent content = ChipContent::Blank();
    std::string problem;
    if (!ParseImage(text, content, problem)) {
        if (error != nullptr) {
            *error = problem;
        }
        return false;
    }
    std::lock_guard<std::mutex> guard(mLock);
    mState->content = std::move(content);
    mState->firmwareMemoryStale = true;
    mState->dirty = false;
    return true;
}

bool SimChip::AttachImage(const std::string& path, std::string* error) {
    std::error_code ignored;
    if (std::filesystem::exists(path, ignored)) {
        if (!Load(path, error)) {
            return false;
        }
        std::lock_guard<std::mutex> guard(mLock);
        mState->imagePath = path;
        return true;
    }
    std::lock_guard<std::mutex> guard(mLock);
    mState->imagePath = path;
    mState->dirty = true;
    return true;
}

std::string SimChip::ImagePath() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->imagePath;
}

bool SimChip::HasUnsavedChanges() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->dirty;
}

bool SimChip::Flush(std::string* error) {
    std::string path;
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (mState->imagePath.empty() || !mState->dirty) {
            return true;
        }
        path = mState->imagePath;
    }
    if (!Save(path, error)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(mLock);
    mState->dirty = false;
    return true;
}

// ---------------------------------------------------------------- the link

bool SimChip::Reachable() const {
    std::lock_guard<std::mutex> guard(mLock);
    return !mState->unreachable;
}

void SimChip::CountOpen() {
    std::lock_guard<std::mutex> guard(mLock);
    ++mState->opens;
}

bool SimChip::Reset(reset_t how) {
    if (how != RESET_WARM && how != RESET_COLD) {
        return false;
    }
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.stores.erase(STORE_TRANSIENT);
    ++mState->resets;
    return true;
}

LinkStep SimChip::NextLinkStep() {
    if (mState->linkSteps.empty()) {
        return {};
    }
    LinkStep step = mState->linkSteps.front();
    mState->linkSteps.pop_front();
    return step;
}

int SimChip::Exchange(const PDU& request, PDU& response) {
    return Exchange(request, request.get_uint16(KVCMD_PDU::OFFSET_SEQ_NO), response);
}

int SimChip::Exchange(const PDU& request, uint16_t sequence, PDU& response) {
    // Counts the threads inside at once, also when the exchange ends in an exception.
    struct Inside {
        std::atomic<int>& count;
        ~Inside() { count.fetch_sub(1); }
    };
    const int before = mState->inside.fetch_add(1);
    const Inside inside{mState->inside};

    LinkStep step;
    std::chrono::microseconds delay;
    bool silent;
    {
        std::lock_guard<std::mutex> guard(mLock);
        ++mState->transacts;
        if (before > 0) {
            ++mState->overlaps;
        }
        step = NextLinkStep();
        delay = mState->delay;
        silent = mState->silent;
    }
    if (delay.count() > 0) {
        std::this_thread::sleep_for(delay);
    }
    if (step.kind == LinkStep::THROW) {
        throw new kvcmd_trans_exception(step.text.c_str());
    }
    if (step.kind == LinkStep::FAIL) {
        return step.result;
    }
    // Nothing on the chip listens to other channels.
    if (silent || request.channel() != KVCMD_PDU::CHANNEL) {
        return 2;
    }
    std::lock_guard<std::mutex> guard(mLock);
    response = Process(request, sequence);
    mState->spareReply = response;
    return 0;
}

}  // namespace kvcmdsim

// The simulated chip: stores, firmware, memory, counters, faults and the KVCMD commands.
#include "state.h"

#include <kvcmdsim/simchip.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace kvcmdsim {

namespace {

constexpr uint16_t kWritableStores = STORE_TRANSIENT | STORE_IMPLEMENTATION | STORE_FACTORY;
constexpr uint16_t kUserStores = STORE_TRANSIENT | STORE_IMPLEMENTATION;
constexpr size_t kLogLimit = 256;
constexpr uint16_t kPsKeyListEntry = 31;

uint16_t Selection(uint16_t storesWord) {
    const uint16_t selected = storesWord & ALL_STORES;
    return selected != 0 ? selected : ALL_STORES;
}

const Value* Find(const ChipContent& chip, uint16_t key, uint16_t storesWord) {
    const uint16_t selected = Selection(storesWord);
    for (uint16_t store : SEARCH_ORDER) {
        if ((selected & store) == 0) {
            continue;
        }
        const auto s = chip.stores.find(store);
        if (s == chip.stores.end()) {
            continue;
        }
        const auto k = s->second.find(key);
        if (k != s->second.end()) {
            return &k->second;
        }
    }
    return nullptr;
}

// The store a write goes to; 0 when the selection holds no writable store.
uint16_t WriteTarget(uint16_t storesWord) {
    const uint16_t selected = storesWord & ALL_STORES;
    if (selected == 0) {
        return STORE_IMPLEMENTATION;
    }
    for (uint16_t store : SEARCH_ORDER) {
        if ((selected & store) != 0 && (store & kWritableStores) != 0) {
            return store;
        }
    }
    return 0;
}

uint16_t FieldMask(uint16_t width) {
    return static_cast<uint16_t>((1u << std::min<uint16_t>(width, 16)) - 1u);
}

// Commands whose payload word 0 is a key number.
bool HasKey(uint16_t varid) {
    switch (varid) {
        case KVCMD_PS_PDU::VARID:
        case KVCMD_PSSIZE_PDU::VARID:
        case KVCMD_PSNEXT_PDU::VARID:
        case KVCMD_PSNEXT_ALL_PDU::VARID:
        case KVCMD_PSCLR_PDU::VARID:
        case KVCMD_PSCLRS_PDU::VARID:
            return true;
        default:
            return false;
    }
}

// A response to `request`: type 1, its varid, sequence number and payload words, `status`, and
// room for `dataWords` value words.
KVCMD_PDU Reply(const KVCMD_PDU& request, uint16_t status, int dataWords = 0) {
    KVCMD_PDU reply(request.get_varid(), KVCMD_PDU::TYPE_GET_RESP,
                    KVCMD_PDU::OFFSET_DATA + 2 * dataWords);
    reply.set_seq_no(request.get_seq_no());
    reply.set_status(status);
    for (int offset :
         {KVCMD_PDU::OFFSET_PAYLOAD0, KVCMD_PDU::OFFSET_PAYLOAD1, KVCMD_PDU::OFFSET_PAYLOAD2}) {
        reply.set_uint16(offset, request.get_uint16(offset));
    }
    return reply;
}

void SetData(KVCMD_PDU& pdu, const uint16_t* words, int count) {
    for (int i = 0; i < count; ++i) {
        pdu.set_uint16(KVCMD_PDU::OFFSET_DATA + 2 * i, words[i]);
    }
}

}  // namespace

// ---------------------------------------------------------------- memory

bool SimChip::State::MemoryRange(uint32_t space, uint32_t address, uint32_t count) const {
    const auto s = content.spaces.find(space);
    return s != content.spaces.end() && address <= s->second && count <= s->second - address;
}

uint16_t SimChip::State::MemoryWord(uint32_t space, uint32_t address) {
    const auto w = content.written.find(space);
    if (w != content.written.end()) {
        const auto word = w->second.find(address);
        if (word != w->second.end()) {
            return word->second;
        }
    }
    if (firmwareMemoryStale) {
        RebuildFirmwareMemory();
    }
    const auto f = firmwareMemory.find(space);
    if (f != firmwareMemory.end()) {
        const auto word = f->second.find(address);
        if (word != f->second.end()) {
            return word->second;
        }
    }
    return 0;
}

void SimChip::State::RebuildFirmwareMemory() {
    firmwareMemory.clear();
    WordMap& data = firmwareMemory[DATA_SPACE];
    data[VERSION_WORD_ADDRESS] = content.versionWord;
    data[SECOND_WORD_ADDRESS] = content.secondWord;
    data[SUB_ID_ADDRESS] = content.subId;
    const TableLayout& layout = content.layout;
    if (layout.present) {
        WriteTable(layout);

        uint32_t at = layout.key_list;
        for (const KeyRange& range : ToRanges(content.firmwareKeys)) {
            data[at++] = range.first;
            data[at++] = range.last;
        }
        data[at++] = 0;
        data[at] = 0;
    }
    firmwareMemoryStale = false;
}

void SimChip::State::WriteTable(const TableLayout& layout) {
    std::map<uint16_t, uint16_t> entries = content.symbols;
    entries.erase(0);
    if (layout.form != TableLayout::FIXED) {
        entries[kPsKeyListEntry] = static_cast<uint16_t>(layout.key_list);
    }
    WordMap& table = firmwareMemory[layout.space];
    uint32_t at = layout.header;
    switch (layout.form) {
        case TableLayout::PLAIN: {
            // The upper bank of space 2 holds its entries address and the values of entries 7,
            // 8 and 13 relative to word 0x4000.
            const bool high = layout.space == 2 && layout.header >= 0x4000;
            const uint16_t bank = high ? 0x4000 : 0;
            table[at] = SlTable::MAGIC_TABLE;
            table[at + 1] = static_cast<uint16_t>(layout.entries - bank);
            table[at + 2] = 0;
            at = layout.entries;
            for (const auto& [id, value] : entries) {
                table[at++] = id;
                table[at++] = id == 7 || id == 8 || id == 13 ? value - bank : value;
            }
            table[at++] = 0;
            table[at] = 0;
            break;
        }
        case TableLayout::SHORT:
            table[at++] = SlTable::MAGIC_TABLE;
            table[at++] = 0;
            for (const auto& [id, value] : entries) {
                table[at++] = id;
                table[at++] = value;
            }
            table[at++] = 0;
            table[at] = 0;
            break;
        case TableLayout::FIXED:
            table[at] = SlTable::MAGIC_SHORT;
            for (uint16_t id = 1; id <= 3; ++id) {
                const auto entry = entries.find(id);
                table[at + id] = entry != entries.end() ? entry->second : 0;
            }
            break;
        case TableLayout::EXTENDED:
            table[at++] = SlTable::MAGIC_TABLE;
            for (const auto& [id, value] : entries) {
                table[at++] = id;
                table[at++] = value;
                table[at++] = 0;
            }
            table[at] = 0;
            break;
    }

    // Redirection and pointer name byte addresses: space in bits 24 to 31 (redirection) or 8 to
    // 15 of the high word (pointer).
    uint32_t target = 2 * layout.header;
    uint32_t targetSpace = layout.space;
    if (layout.redirect_space != 0) {
        const uint32_t location = (layout.space << 24) | (target & 0xFFFFFF);
        WordMap& redirect = firmwareMemory[layout.redirect_space];
        redirect[layout.redirect_at] = SlTable::MAGIC_REDIRECT;
        redirect[layout.redirect_at + 1] = static_cast<uint16_t>(location);
        redirect[layout.redirect_at + 2] = static_cast<uint16_t>(location >> 16);
        target = 2 * layout.redirect_at;
        targetSpace = layout.redirect_space;
    }
    if (layout.pointer_at != 0) {
        WordMap& data = firmwareMemory[DATA_SPACE];
        data[layout.pointer_at] = static_cast<uint16_t>(target);
        data[layout.pointer_at + 1] =
            static_cast<uint16_t>(((targetSpace & 0xFF) << 8) | ((target >> 16) & 0xFF));
    }
}

std::vector<KeyRange> ToRanges(const std::set<uint16_t>& keys) {
    std::vector<KeyRange> ranges;
    for (uint16_t key : keys) {
        if (!ranges.empty() && ranges.back().last + 1 == key) {
            ranges.back().last = key;
        } else {
            ranges.push_back({key, key});
        }
    }
    return ranges;
}

ChipContent ChipContent::Blank() {
    ChipContent chip;
    chip.firmwareKeys = StandardFirmwareKeys();
    chip.presentation = StandardPresentationKeys();
    return chip;
}

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
    if (mState->content.firmwareKeys.insert(key).second) {
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
    const Value* value = Find(mState->content, key, stores);
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

namespace {

void EditFirmwareKeys(std::set<uint16_t>& keys, KeyRange range, bool add) {
    for (uint32_t key = range.first; key <= range.last; ++key) {
        if (add) {
            keys.insert(static_cast<uint16_t>(key));
        } else {
            keys.erase(static_cast<uint16_t>(key));
        }
    }
}

}  // namespace

// Each edit marks the firmware's key list in memory for rebuilding on the next read.
void SimChip::SetFirmwareKeys(const std::vector<KeyRange>& ranges) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.firmwareKeys.clear();
    for (const KeyRange& range : ranges) {
        EditFirmwareKeys(mState->content.firmwareKeys, range, true);
    }
    mState->firmwareMemoryStale = true;
    mState->dirty = true;
}

void SimChip::AddFirmwareKeys(KeyRange range) {
    std::lock_guard<std::mutex> guard(mLock);
    EditFirmwareKeys(mState->content.firmwareKeys, range, true);
    mState->firmwareMemoryStale = true;
    mState->dirty = true;
}

void SimChip::RemoveFirmwareKeys(KeyRange range) {
    std::lock_guard<std::mutex> guard(mLock);
    EditFirmwareKeys(mState->content.firmwareKeys, range, false);
    mState->firmwareMemoryStale = true;
    mState->dirty = true;
}

std::vector<KeyRange> SimChip::FirmwareKeys() const {
    std::lock_guard<std::mutex> guard(mLock);
    return ToRanges(mState->content.firmwareKeys);
}

void SimChip::ClearPresentationKeys() {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.presentation.clear();
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

// ---------------------------------------------------------------- memory

void SimChip::AddMemorySpace(uint32_t space, uint32_t words) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.spaces[space] = words;
    mState->dirty = true;
}

bool SimChip::WriteMemory(uint32_t space, uint32_t word_address,
                          const std::vector<uint16_t>& words) {
    std::lock_guard<std::mutex> guard(mLock);
    if (!mState->MemoryRange(space, word_address, static_cast<uint32_t>(words.size()))) {
        return false;
    }
    WordMap& target = mState->content.written[space];
    for (size_t i = 0; i < words.size(); ++i) {
        target[word_address + static_cast<uint32_t>(i)] = words[i];
    }
    mState->dirty = true;
    return true;
}

bool SimChip::ReadMemory(uint32_t space, uint32_t word_address, uint32_t count,
                         uint16_t* out) const {
    std::lock_guard<std::mutex> guard(mLock);
    if (!mState->MemoryRange(space, word_address, count)) {
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        out[i] = mState->MemoryWord(space, word_address + i);
    }
    return true;
}

void SimChip::ClearWrittenMemory() {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.written.clear();
    mState->dirty = true;
}

void SimChip::SetTableLayout(const TableLayout& layout) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.layout = layout;
    mState->firmwareMemoryStale = true;
    mState->dirty = true;
}

TableLayout SimChip::GetTableLayout() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->content.layout;
}

void SimChip::SetSymbol(uint16_t id, uint16_t value) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.symbols[id] = value;
    mState->firmwareMemoryStale = true;
    mState->dirty = true;
}

void SimChip::RemoveSymbol(uint16_t id) {
    std::lock_guard<std::mutex> guard(mLock);
    mState->content.symbols.erase(id);
    mState->firmwareMemoryStale = true;
    mState->dirty = true;
}

bool SimChip::DebugRead(uint32_t space, uint32_t word_address, uint32_t count,
                        uint16_t* out) const {
    std::lock_guard<std::mutex> guard(mLock);
    if (mState->content.secure || !mState->MemoryRange(space, word_address, count)) {
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        out[i] = mState->MemoryWord(space, word_address + i);
    }
    return true;
}

// ---------------------------------------------------------------- counters

uint64_t SimChip::TransactCount() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mState->transacts;
}

uint64_t SimChip::RequestCount(uint16_t varid) const {
    std::lock_guard<std::mutex> guard(mLock);
    const auto it = mState->perVarid.find(varid);
    return it != mState->perVarid.end() ? it->second : 0;
}

uint64_t SimChip::RequestCount(uint16_t varid, uint16_t key) const {
    std::lock_guard<std::mutex> guard(mLock);
    const auto it = mState->perKey.find({varid, key});
    return it != mState->perKey.end() ? it->second : 0;
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
    return {mState->log.begin(), mState->log.end()};
}

void SimChip::ResetCounters() {
    std::lock_guard<std::mutex> guard(mLock);
    mState->transacts = 0;
    mState->perVarid.clear();
    mState->perKey.clear();
    mState->opens = 0;
    mState->resets = 0;
    mState->overlaps = 0;
    mState->log.clear();
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
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error != nullptr) {
            *error = "cannot open chip image " + path;
        }
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (!LoadText(text.str(), error)) {
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
    std::ifstream probe(path);
    if (probe.good()) {
        probe.close();
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
    response = Process(request);
    return 0;
}

// ---------------------------------------------------------------- commands

PDU SimChip::Process(const PDU& received) {
    State& state = *mState;
    ChipContent& chip = state.content;
    const KVCMD_PDU request(received);
    const int size = request.size();
    const uint16_t varid = request.get_varid();
    const uint16_t type = request.get_type();
    const uint16_t key = request.get_uint16(KVCMD_PDU::OFFSET_PAYLOAD0);

    state.log.emplace_back(request.data(), request.data() + size);
    if (state.log.size() > kLogLimit) {
        state.log.pop_front();
    }
    ++state.perVarid[varid];
    if (HasKey(varid)) {
        ++state.perKey[{varid, key}];
    }

    if (size < KVCMD_PDU::MIN_BYTES || size % 2 != 0 || request.get_length() != size / 2 ||
        (type != KVCMD_PDU::TYPE_GET_REQ && type != KVCMD_PDU::TYPE_SET_REQ)) {
        return Reply(request, KVCMD_PDU::STATUS_BAD_PDU);
    }
    if (size / 2 > chip.maxPduWords) {
        return Reply(request, KVCMD_PDU::STATUS_TOO_BIG);
    }
    for (auto rule = state.failRules.begin(); rule != state.failRules.end(); ++rule) {
        if ((rule->varid == 0 || rule->varid == varid) && (rule->key < 0 || rule->key == key)) {
            const uint16_t status = rule->status;
            if (rule->remaining > 0 && --rule->remaining == 0) {
                state.failRules.erase(rule);
            }
            return Reply(request, status);
        }
    }

    const bool isGet = type == KVCMD_PDU::TYPE_GET_REQ;
    const bool writeProtected = chip.writeProtected;
    switch (varid) {
        case KVCMD_PS_PDU::VARID: {
            const KVCMD_PS_PDU ps(received);
            const uint16_t storesWord = ps.get_stores();
            const bool raw = (storesWord & RAW_ACCESS) != 0;
            const auto field = raw ? chip.presentation.end() : chip.presentation.find(key);
            if (isGet) {
                Value value;
                // A failed read answers no value: length field 0.
                const auto failed = [&request](uint16_t status) {
                    KVCMD_PDU reply = Reply(request, status);
                    reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, 0);
                    return reply;
                };
                if (field != chip.presentation.end()) {
                    const Value* base = Find(chip, field->second.base_key, storesWord);
                    const uint16_t word = field->second.bit_offset / 16;
                    if (base == nullptr || word >= base->size()) {
                        return failed(KVCMD_PDU::STATUS_ERROR);
                    }
                    value.push_back(((*base)[word] >> (field->second.bit_offset % 16)) &
                                    FieldMask(field->second.bit_width));
                } else if (chip.firmwareKeys.count(key) == 0) {
                    return failed(KVCMD_PDU::STATUS_ACCESS_DENIED);
                } else {
                    const Value* found = Find(chip, key, storesWord);
                    if (found == nullptr) {
                        return failed(KVCMD_PDU::STATUS_ERROR);
                    }
                    value = *found;
                }
                const int count = std::min<int>(static_cast<int>(value.size()), ps.get_len());
                KVCMD_PDU reply = Reply(request, KVCMD_PDU::STATUS_OK, count);
                reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, static_cast<uint16_t>(value.size()));
                SetData(reply, value.data(), count);
                return reply;
            }
            const uint16_t length = ps.get_len();
            if (ps.data_words() < length) {
                return Reply(request, KVCMD_PDU::STATUS_BAD_PDU);
            }
            if (writeProtected) {
                return Reply(request, KVCMD_PDU::STATUS_PERMISSION_DENIED);
            }
            Value data(length);
            ps.get_data(data.data(), length);
            const uint16_t target = WriteTarget(storesWord);
            if (field != chip.presentation.end()) {
                const Value* base = Find(chip, field->second.base_key, storesWord);
                const uint16_t word = field->second.bit_offset / 16;
                if (base == nullptr || word >= base->size() || length == 0) {
                    return Reply(request, KVCMD_PDU::STATUS_ERROR);
                }
                if (target == 0) {
                    return Reply(request, KVCMD_PDU::STATUS_READ_ONLY);
                }
                Value updated = *base;
                const uint16_t bit = field->second.bit_offset % 16;
                const uint16_t mask = FieldMask(field->second.bit_width);
                updated[word] = static_cast<uint16_t>((updated[word] & ~(mask << bit)) |
                                                      ((data[0] & mask) << bit));
                chip.stores[target][field->second.base_key] = updated;
            } else if (chip.firmwareKeys.count(key) == 0) {
                return Reply(request, KVCMD_PDU::STATUS_ACCESS_DENIED);
            } else if (target == 0) {
                return Reply(request, KVCMD_PDU::STATUS_READ_ONLY);
            } else {
                chip.stores[target][key] = std::move(data);
            }
            state.dirty = state.dirty || target != STORE_TRANSIENT;
            return Reply(request, KVCMD_PDU::STATUS_OK);
        }

        case KVCMD_PSSIZE_PDU::VARID: {
            if (!isGet) {
                return Reply(request, KVCMD_PDU::STATUS_READ_ONLY);
            }
            const uint16_t storesWord = request.get_uint16(KVCMD_PDU::OFFSET_PAYLOAD2);
            const bool raw = (storesWord & RAW_ACCESS) != 0;
            const auto field = raw ? chip.presentation.end() : chip.presentation.find(key);
            KVCMD_PDU reply = Reply(request, KVCMD_PDU::STATUS_OK);
            reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, 0);
            if (field != chip.presentation.end()) {
                const Value* base = Find(chip, field->second.base_key, storesWord);
                if (base == nullptr || field->second.bit_offset / 16 >= base->size()) {
                    reply.set_status(KVCMD_PDU::STATUS_ERROR);
                } else {
                    reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, 1);
                }
            } else if (chip.firmwareKeys.count(key) == 0) {
                reply.set_status(KVCMD_PDU::STATUS_ERROR);
                reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD0, 0);
            } else if (const Value* found = Find(chip, key, storesWord); found != nullptr) {
                reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, static_cast<uint16_t>(found->size()));
            } else {
                reply.set_status(KVCMD_PDU::STATUS_ERROR);
            }
            return reply;
        }

        case KVCMD_PSNEXT_PDU::VARID:
        case KVCMD_PSNEXT_ALL_PDU::VARID: {
            if (!isGet) {
                return Reply(request, KVCMD_PDU::STATUS_READ_ONLY);
            }
            const bool all = varid == KVCMD_PSNEXT_ALL_PDU::VARID;
            const uint16_t selected =
                all ? ALL_STORES : Selection(request.get_uint16(KVCMD_PDU::OFFSET_PAYLOAD1));
            uint32_t next = 0x10000;
            for (const auto& [store, keys] : chip.stores) {
                if ((store & selected) == 0) {
                    continue;
                }
                const auto it = keys.upper_bound(key);
                if (it != keys.end()) {
                    next = std::min<uint32_t>(next, it->first);
                }
            }
            KVCMD_PDU reply = Reply(request, KVCMD_PDU::STATUS_OK);
            reply.set_uint16(all ? KVCMD_PDU::OFFSET_PAYLOAD1 : KVCMD_PDU::OFFSET_PAYLOAD2,
                             next < 0x10000 ? static_cast<uint16_t>(next) : 0);
            return reply;
        }

        case KVCMD_PSCLR_PDU::VARID:
        case KVCMD_PSCLRS_PDU::VARID: {
            if (isGet) {
                return Reply(request, KVCMD_PDU::STATUS_WRITE_ONLY);
            }
            if (writeProtected) {
                return Reply(request, KVCMD_PDU::STATUS_PERMISSION_DENIED);
            }
            uint16_t targets = kUserStores;
            if (varid == KVCMD_PSCLRS_PDU::VARID) {
                const uint16_t selected =
                    request.get_uint16(KVCMD_PDU::OFFSET_PAYLOAD1) & ALL_STORES;
                if (selected != 0) {
                    targets = selected & kWritableStores;
                    if (targets == 0) {
                        return Reply(request, KVCMD_PDU::STATUS_READ_ONLY);
                    }
                }
            }
            if (chip.firmwareKeys.count(key) == 0) {
                return Reply(request, KVCMD_PDU::STATUS_ACCESS_DENIED);
            }
            bool erased = false;
            for (auto& [store, keys] : chip.stores) {
                if ((store & targets) != 0 && keys.erase(key) != 0) {
                    erased = true;
                    state.dirty = state.dirty || store != STORE_TRANSIENT;
                }
            }
            return Reply(request, erased ? KVCMD_PDU::STATUS_OK : KVCMD_PDU::STATUS_ERROR);
        }

        case KVCMD_PS_FACTORY_SET_PDU::VARID:
        case KVCMD_PS_FACTORY_RESTORE_PDU::VARID:
        case KVCMD_PS_FACTORY_RESTORE_ALL_PDU::VARID: {
            if (isGet) {
                return Reply(request, KVCMD_PDU::STATUS_WRITE_ONLY);
            }
            if (writeProtected) {
                return Reply(request, KVCMD_PDU::STATUS_PERMISSION_DENIED);
            }
            auto& implementation = chip.stores[STORE_IMPLEMENTATION];
            auto& factory = chip.stores[STORE_FACTORY];
            auto& transient = chip.stores[STORE_TRANSIENT];
            if (varid == KVCMD_PS_FACTORY_SET_PDU::VARID) {
                for (const auto& [k, value] : implementation) {
                    factory[k] = value;
                }
            } else if (varid == KVCMD_PS_FACTORY_RESTORE_PDU::VARID) {
                for (const auto& entry : factory) {
                    implementation.erase(entry.first);
                    transient.erase(entry.first);
                }
            } else {
                implementation.clear();
                transient.clear();
            }
            state.dirty = true;
            return Reply(request, KVCMD_PDU::STATUS_OK);
        }

        case KVCMD_MEMORY_PDU::VARID: {
            const KVCMD_MEMORY_PDU memory(received);
            const uint16_t address = memory.get_address();
            const uint16_t length = memory.get_len();
            if (chip.secure) {
                return Reply(request, KVCMD_PDU::STATUS_ACCESS_DENIED);
            }
            if (!state.MemoryRange(DATA_SPACE, address, length)) {
                return Reply(request, KVCMD_PDU::STATUS_ERROR);
            }
            if (isGet) {
                KVCMD_PDU reply = Reply(request, KVCMD_PDU::STATUS_OK, length);
                for (uint16_t i = 0; i < length; ++i) {
                    reply.set_uint16(KVCMD_PDU::OFFSET_DATA + 2 * i,
                                     state.MemoryWord(DATA_SPACE, address + i));
                }
                return reply;
            }
            if (memory.data_words() < length) {
                return Reply(request, KVCMD_PDU::STATUS_BAD_PDU);
            }
            WordMap& target = chip.written[DATA_SPACE];
            for (uint16_t i = 0; i < length; ++i) {
                target[address + i] = memory.get_uint16(KVCMD_PDU::OFFSET_DATA + 2 * i);
            }
            state.dirty = true;
            return Reply(request, KVCMD_PDU::STATUS_OK);
        }

        default:
            return Reply(request, KVCMD_PDU::STATUS_NO_SUCH_VARID);
    }
}

}  // namespace kvcmdsim

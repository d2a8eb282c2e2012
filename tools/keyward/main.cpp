// keyward: a chip's persistent store from the command line, for engineers at a bench. The chip
// is a simulated one whose state lives in an image file (saved back atomically after changes; a
// missing image is refused, or with --create started as a blank chip).
//
//   keyward --chip IMAGE dump FILE [--annotated]     every key to a PS file
//   keyward --chip IMAGE apply FILE                  run a PS file (set/add/update/delete lines)
//   keyward --chip IMAGE query OUT IN [--annotated]  answer the query lines of IN into OUT
//   keyward --chip IMAGE canned NAME                 run a canned operation ("@usb")
//   keyward canned --list
//   keyward --chip IMAGE get KEY
//   keyward --chip IMAGE set KEY WORD...
//   keyward --chip IMAGE delete KEY
//   keyward info KEY                                 the key's database record
//   keyward --chip IMAGE power-table KEY [--kind basic|enhanced|v0]
//                        [--delete INDEX]... [--add FIELD=VALUE,...]... [--at INDEX] [--sort]
//
// --cache reaches the chip through a PsCache: a worker thread reads every key ahead while the
// command runs, and the command's reads are answered from the cache.
//
// KEY is hexadecimal (0x01f9 or 01f9) or an identifier (PSKEY_HOST_INTERFACE, any case, the
// PSKEY_ prefix optional); WORD is one to four hex digits. Reports of the library go to standard
// error with their caption; progress ("Dumped key ...") shows as one line on a terminal, as
// lines with --verbose, and not at all otherwise. Exit codes: 0 success, 1 a failure was
// reported, 2 a usage error, 130 interrupted.
//
// Files the tool writes (dumps, query answers, the chip image) replace their old contents only
// once they are complete: a run that fails or is interrupted leaves the old file as it was.
#include <keyward/keyward.h>
#include <kvcmdsim/kvcmdsim.h>

#include <varnakcli.h>

#include "common/atomicfile.h"

#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using varnak::cli::kExitFailure;
using varnak::cli::kExitInterrupted;
using varnak::cli::kExitSuccess;
using varnak::cli::kExitUsage;
constexpr size_t kProgressWidth = 79;  // a progress line never wraps on a standard terminal

// A usage error found after parsing, reported like CLI11's own.
struct UsageError {
    std::string text;
};

struct Options {
    std::string chip;
    bool create = false;
    bool verbose = false;
    bool keepGoing = false;
    bool cache = false;
};

// ---------------------------------------------------------------- reports

// Progress notes: one line rewritten in place on a terminal, a line each with --verbose.
class Progress {
  public:
    Progress(bool verbose, bool terminal) : mVerbose(verbose), mTerminal(terminal) {}

    void Show(const std::string& text) {
        ++mCount;
        if (mVerbose) {
            std::cerr << text << '\n';
        } else if (mTerminal) {
            std::cerr << '\r' << text.substr(0, kProgressWidth) << "\x1b[K" << std::flush;
            mShown = true;
        }
    }
    // Ends the progress line, with a closing summary when progress is being shown at all.
    void Finish(const std::string& summary) {
        Clear();
        if ((mVerbose || mTerminal) && !summary.empty()) {
            std::cerr << summary << '\n';
        }
    }
    void Clear() {
        if (mShown) {
            std::cerr << "\r\x1b[K" << std::flush;
            mShown = false;
        }
    }
    int Count() const { return mCount; }

  private:
    bool mVerbose;
    bool mTerminal;
    bool mShown = false;
    int mCount = 0;
};

// Prints every report with its caption and counts the errors. An error stops the running
// operation unless --keep-going asked to go on.
class ToolHandler : public kvcmd_trans_error_handler {
  public:
    ToolHandler(Progress& progress, bool keepGoing) : mProgress(progress), mKeepGoing(keepGoing) {}

    kvcmd_trans_error_response answer(const wchar_t* text, const wchar_t* caption, int /*code*/,
                                      int type) override {
        if (type == -1) {
            mProgress.Show(keyward::Narrow(text));
            return KVCMD_RESPONSE_NONE;
        }
        mProgress.Clear();
        ++mErrors;
        std::cerr << keyward::Narrow(caption) << ": " << keyward::Narrow(text) << std::endl;
        return mKeepGoing ? KVCMD_RESPONSE_IGNORE : KVCMD_RESPONSE_ABORT;
    }
    int Errors() const { return mErrors; }

  private:
    Progress& mProgress;
    bool mKeepGoing;
    int mErrors = 0;
};

void Fail(const std::string& text) {
    std::cerr << "keyward: " << text << std::endl;
}

// ---------------------------------------------------------------- keys and numbers

std::string Hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

std::string Trimmed(const std::wstring& text) {
    std::string narrow = keyward::Narrow(text);
    narrow.erase(narrow.find_last_not_of(' ') + 1);
    return narrow;
}

// Hex digits with an optional 0x prefix, at most `max`.
bool ParseHex(std::string text, unsigned long max, unsigned long& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text = text.substr(2);
    }
    if (text.empty() || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    errno = 0;
    value = std::strtoul(text.c_str(), nullptr, 16);
    return errno == 0 && value <= max;
}

// A key given as hex or by identifier.
uint16_t ParseKey(const std::string& text) {
    unsigned long number = 0;
    if (ParseHex(text, 0xFFFF, number)) {
        if (number == 0) {
            throw UsageError{"0 is not a key"};
        }
        return static_cast<uint16_t>(number);
    }
    std::string wanted = text;
    if (strncasecmp(wanted.c_str(), "PSKEY_", 6) != 0) {
        wanted = "PSKEY_" + wanted;
    }
    for (size_t i = 0; i < CKeyWarder::GetKeyCount(); ++i) {
        const pskey_entry* entry = CKeyWarder::GetKeyDetailsAt(i);
        if (strcasecmp(Trimmed(entry->identifier).c_str(), wanted.c_str()) == 0) {
            return entry->key_number;
        }
    }
    throw UsageError{"unknown key '" + text +
                     "': give a hex number such as 01f9 or an identifier such as "
                     "PSKEY_HOST_INTERFACE"};
}

// "0x01f9 PSKEY_HOST_INTERFACE", or the number alone for keys outside the database.
std::string KeyName(uint16_t key) {
    const pskey_entry* entry = CKeyWarder::GetKeyDetails(key);
    return "0x" + Hex4(key) + (entry != nullptr ? " " + Trimmed(entry->identifier) : "");
}

long ParseNumber(const std::string& text, const std::string& what) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0) {
        throw UsageError{what + " must be a number (decimal or 0x hexadecimal), not '" + text +
                         "'"};
    }
    return value;
}

// ---------------------------------------------------------------- interrupts
//
// On SIGINT (Ctrl-C) or SIGTERM a command that only reads the chip ends at once. One that may
// change it stops after the key or line in progress and saves what was done; a second signal
// ends it at once. The exit code is 130 either way, and the temporary file of an output being
// written is removed, so the old file stays as it was.

std::atomic<PsServer*> gInterruptible{nullptr};  // the server whose long runs poll the flag
volatile sig_atomic_t gChipMayChange = 0;
volatile sig_atomic_t gInterrupted = 0;
volatile sig_atomic_t gOutputPending = 0;
const char* gPendingOutput = nullptr;  // the temporary file, while gOutputPending is set

extern "C" void OnInterrupt(int) {
    if (gChipMayChange != 0 && gInterrupted == 0) {
        gInterrupted = 1;
        if (PsServer* server = gInterruptible.load()) {
            server->do_cancel();
            return;
        }
    }
    if (gOutputPending != 0) {
        unlink(gPendingOutput);
    }
    _exit(kExitInterrupted);
}

void CatchInterrupts() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Holds SIGINT and SIGTERM back while the chip image is saved, so that no save is cut short;
// a signal that came meanwhile is taken when the object goes.
class InterruptsHeld {
  public:
    InterruptsHeld() {
        sigemptyset(&mSignals);
        sigaddset(&mSignals, SIGINT);
        sigaddset(&mSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &mSignals, nullptr);
    }
    ~InterruptsHeld() { pthread_sigmask(SIG_UNBLOCK, &mSignals, nullptr); }
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;

  private:
    sigset_t mSignals;
};

// A file the tool writes: the library writes it to a temporary file beside it, which replaces
// it on Commit; otherwise (a failure, an interrupt) the temporary file goes and the old file
// stays.
class OutputFile {
  public:
    explicit OutputFile(const std::string& path) : mWriter(path) {}
    ~OutputFile() {
        mWriter.Abort();
        gOutputPending = 0;
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file; false after reporting why not.
    bool Open() {
        if (!mWriter.Open()) {
            Fail(mWriter.Error());
            return false;
        }
        gPendingOutput = mWriter.TemporaryPath().c_str();
        gOutputPending = 1;
        return true;
    }
    std::wstring TemporaryPath() const { return keyward::Widen(mWriter.TemporaryPath()); }
    // Puts the file in place; false after reporting why not.
    bool Commit() {
        const bool committed = mWriter.Commit();
        gOutputPending = 0;
        if (!committed) {
            Fail(mWriter.Error());
        }
        return committed;
    }

  private:
    varnak::AtomicFileWriter mWriter;
};

// ---------------------------------------------------------------- the chip

// A simulated chip loaded from its image, behind a server and a CKeyWarder.
class ChipSession {
  public:
    explicit ChipSession(const Options& options)
        : mProgress(options.verbose, isatty(STDERR_FILENO) != 0),
          mHandler(mProgress, options.keepGoing),
          mChip(std::make_shared<kvcmdsim::SimChip>()),
          mCreate(options.create),
          mCached(options.cache) {}

    ~ChipSession() { gInterruptible = nullptr; }

    // Loads the image and opens the chip; false after reporting why not.
    bool Open(const std::string& image) {
        std::error_code ignored;
        if (std::filesystem::is_directory(image, ignored)) {
            Fail("the chip image " + image + " is a folder");
            return false;
        }
        // A mistyped name must not quietly become a new, blank chip.
        if (!mCreate && !std::filesystem::exists(image, ignored)) {
            Fail("there is no chip image " + image +
                 " (give --create to start a blank chip there)");
            return false;
        }
        std::string error;
        if (!mChip->AttachImage(image, &error)) {
            Fail("cannot load chip image " + error);
            return false;
        }
        // A missing image is created blank at once, so that an image that cannot be written is
        // reported before any work is done.
        bool saved;
        {
            const InterruptsHeld held;
            saved = mChip->Flush(&error);
        }
        if (!saved) {
            Fail(error);
            ForgetImage();
            return false;
        }
        auto* transport = new kvcmdsim::SimTransport(mChip);
        transport->set_error_handler(&mHandler);
        mServer = std::make_unique<PsKvcmd>(transport);
        PsServer* outermost = mServer.get();
        if (mCached) {
            mCache = std::make_unique<PsCache>();
            mCache->SetServer(mServer.get());
            outermost = mCache.get();
        }
        mKeys.SetServer(outermost);
        gInterruptible = outermost;
        if (!outermost->open()) {
            if (mHandler.Errors() == 0) {
                Fail("cannot open the chip of " + image);
            }
            return false;
        }
        return true;
    }

    // Closes the chip, which saves its image when it changed, and gives the exit code: 0 when
    // `ok` and nothing was reported.
    int Close(bool ok, const std::string& summary = {}) {
        PsServer* outermost =
            mCache != nullptr ? static_cast<PsServer*>(mCache.get()) : mServer.get();
        const int errorsBefore = mHandler.Errors();
        {
            const InterruptsHeld held;
            if (outermost != nullptr) {
                outermost->close();  // a failed save is reported through the handler
            }
            if (mChip->HasUnsavedChanges()) {
                ForgetImage();
            }
        }
        const bool interrupted = gInterrupted != 0;
        mProgress.Finish(ok && !interrupted && errorsBefore == 0 ? summary : std::string());
        if (interrupted) {
            Fail("interrupted");
            return kExitInterrupted;
        }
        return ok && mHandler.Errors() == 0 ? kExitSuccess : kExitFailure;
    }

    CKeyWarder& Keys() { return mKeys; }
    const Progress& Notes() const { return mProgress; }
    int Errors() const { return mHandler.Errors(); }

  private:
    // Detaches the chip from its image after a save failed and was reported, so that the chip
    // does not try (and report) it once more when it is destroyed.
    void ForgetImage() { mChip->AttachImage(std::string()); }

    Progress mProgress;
    ToolHandler mHandler;
    std::shared_ptr<kvcmdsim::SimChip> mChip;
    bool mCreate;
    bool mCached;
    std::unique_ptr<PsKvcmd> mServer;
    std::unique_ptr<PsCache> mCache;  // wraps mServer with --cache
    CKeyWarder mKeys;
};

// Whether a command may change the chip, which decides how an interrupt ends it.
enum class Access { READ, WRITE };

// Runs `work` on the chip of --chip; `work` returns whether it succeeded.
int WithChip(const Options& options, Access access, const std::function<bool(ChipSession&)>& work,
             const std::function<std::string(const ChipSession&)>& summary = nullptr) {
    gChipMayChange = access == Access::WRITE ? 1 : 0;
    ChipSession session(options);
    if (!session.Open(options.chip)) {
        session.Close(false);
        return kExitFailure;
    }
    const bool ok = work(session);
    return session.Close(ok, summary ? summary(session) : std::string());
}

// ---------------------------------------------------------------- keys

bool IsPresentation(uint16_t key) {
    const pskey_entry* entry = CKeyWarder::GetKeyDetails(key);
    return entry != nullptr && entry->kind == PSKEY_KIND_PRESENTATION;
}

int Get(const Options& options, uint16_t key) {
    return WithChip(options, Access::READ, [key](ChipSession& session) {
        uint16_t* read = nullptr;
        uint16_t length = 0;
        const int errorsBefore = session.Errors();
        const bool got = session.Keys().pskv_get_pres_or_raw(key, &read, 0, &length);
        const std::unique_ptr<uint16_t[]> words(read);
        if (session.Errors() != errorsBefore) {
            return false;
        }
        if (!got) {
            Fail("key " + KeyName(key) + " has no value");
            return false;
        }
        std::string line;
        for (uint16_t i = 0; i < length; ++i) {
            line += (i > 0 ? " " : "") + Hex4(words[i]);
        }
        std::cout << line << std::endl;
        return true;
    });
}

int Set(const Options& options, uint16_t key, const std::vector<uint16_t>& words) {
    return WithChip(options, Access::WRITE, [key, &words](ChipSession& session) {
        return session.Keys().pskv_set_pres_or_raw_if_different(
            key, words.data(), static_cast<uint16_t>(words.size()));
    });
}

int Delete(const Options& options, uint16_t key) {
    return WithChip(options, Access::WRITE,
                    [key](ChipSession& session) { return session.Keys().pskv_clr(key); });
}

// ---------------------------------------------------------------- info

// `text` wrapped at 78 columns, each line indented by `indent` blanks.
std::string Wrapped(const std::string& text, size_t indent) {
    std::istringstream words(text);
    std::string out;
    std::string line;
    std::string word;
    while (words >> word) {
        if (!line.empty() && indent + line.size() + 1 + word.size() > 78) {
            out += std::string(indent, ' ') + line + '\n';
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty()) {
        out += std::string(indent, ' ') + line + '\n';
    }
    return out;
}

int Info(uint16_t key) {
    const pskey_entry* entry = CKeyWarder::GetKeyDetails(key);
    if (entry == nullptr) {
        Fail("key 0x" + Hex4(key) + " is not in the key database");
        return kExitFailure;
    }
    std::ostringstream out;
    out << "key           0x" << Hex4(key) << " (" << key << ")\n";
    out << "identifier    " << keyward::Narrow(entry->identifier) << '\n';
    out << "label         " << keyward::Narrow(entry->label) << '\n';
    const int length = CKeyWarder::StructureLen(entry->structure);
    out << "structure     " << entry->structure << ", "
        << (length < 0 ? std::string("variable length")
                       : std::to_string(length) + (length == 1 ? " word" : " words"))
        << '\n';
    switch (entry->constraint) {
        case PSKEY_CONSTRAINT_RANGE:
            out << "constraint    " << entry->minimum << " to "
                << (entry->minimum < 0 ? std::to_string(static_cast<int32_t>(entry->maximum))
                                       : std::to_string(entry->maximum))
                << '\n';
            break;
        case PSKEY_CONSTRAINT_MINIMUM:
            out << "constraint    at least " << entry->minimum << '\n';
            break;
        case PSKEY_CONSTRAINT_MAXIMUM:
            out << "constraint    at most " << entry->maximum << '\n';
            break;
        case PSKEY_CONSTRAINT_ENUMERATION: {
            out << "constraint    one of (list " << entry->minimum << "):\n";
            const string_val_pair* list = CKeyWarder::get_enum_list(entry->minimum);
            for (const string_val_pair* e = list; e != nullptr && e->text != nullptr; ++e) {
                char value[16];
                std::snprintf(value, sizeof value, "%6d", e->value);
                out << "           " << value << "  " << keyward::Narrow(e->text) << '\n';
            }
            break;
        }
        default:
            out << "constraint    none\n";
            break;
    }
    if (entry->kind == PSKEY_KIND_PRESENTATION) {
        out << "field         bit offset " << entry->bit_offset << ", width " << entry->bit_width
            << ", of " << KeyName(entry->base_key) << '\n';
    }
    out << "assumed       " << (entry->assumed_present == 1 ? "present" : "not present")
        << " on a chip whose key list is unknown\n";
    std::wstring description;
    for (const wchar_t* const* part = entry->description; part != nullptr && *part != nullptr;
         ++part) {
        description += *part;
    }
    out << "description\n";
    // Paragraphs are separated by blank lines.
    const std::string text = keyward::Narrow(description);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find("\n\n", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        out << Wrapped(text.substr(start, end - start), 4);
        start = end + 2;
        if (start < text.size()) {
            out << '\n';
        }
    }
    std::cout << out.str();
    return 0;
}

// ---------------------------------------------------------------- power tables

// One field of a power setting: its name, range, and how to read and write it.
template <class Setting>
struct Field {
    const char* name;
    int min;
    int max;
    std::function<int(const Setting&)> get;
    std::function<void(Setting&, int)> set;
};

#define KEYWARD_FIELD(Setting, member, low, high, Type)                            \
    Field<Setting> {                                                               \
#member, low, high, [](const Setting& s) { return static_cast<int>(s.member); }, \
            [](Setting& s, int v) { s.member = static_cast<Type>(v); } \
    }

template <class Setting>
std::vector<Field<Setting>> FieldsOf();

template <>
std::vector<Field<CPowerSetting>> FieldsOf<CPowerSetting>() {
    return {KEYWARD_FIELD(CPowerSetting, internal_pa, 0, 255, uint8_t),
            KEYWARD_FIELD(CPowerSetting, external_pa, 0, 255, uint8_t),
            KEYWARD_FIELD(CPowerSetting, tx_dbm, -128, 127, int8_t)};
}

template <>
std::vector<Field<CEnhancedPowerSetting>> FieldsOf<CEnhancedPowerSetting>() {
    using S = CEnhancedPowerSetting;
    return {KEYWARD_FIELD(S, internal_pa, 0, 255, uint8_t),
            KEYWARD_FIELD(S, external_pa, 0, 255, uint8_t),
            KEYWARD_FIELD(S, tx_pa_attn, 0, 7, uint8_t),
            KEYWARD_FIELD(S, switchable_external_pa, 0, 1, uint16_t),
            KEYWARD_FIELD(S, internal_pa_edr, 0, 255, uint8_t),
            KEYWARD_FIELD(S, external_pa_edr, 0, 255, uint8_t),
            KEYWARD_FIELD(S, inhibit_edr, 0, 1, uint8_t),
            KEYWARD_FIELD(S, inhibit_br, 0, 1, uint8_t),
            KEYWARD_FIELD(S, tx_pa_attn_edr, 0, 7, uint8_t),
            KEYWARD_FIELD(S, tx_pre_edr, 0, 255, uint8_t),
            KEYWARD_FIELD(S, tx_dbm, -128, 127, int8_t)};
}

template <>
std::vector<Field<CBluetoothPowerTableV0Setting>> FieldsOf<CBluetoothPowerTableV0Setting>() {
    using S = CBluetoothPowerTableV0Setting;
    return {KEYWARD_FIELD(S, internal_pa, 0, 255, uint8_t),
            KEYWARD_FIELD(S, mixer_level, 0, 15, uint8_t),
            KEYWARD_FIELD(S, mixer_offset, 0, 15, uint8_t),
            KEYWARD_FIELD(S, tx_pa_attn, 0, 7, uint8_t),
            KEYWARD_FIELD(S, internal_pa_edr, 0, 255, uint8_t),
            KEYWARD_FIELD(S, mixer_level_edr, 0, 15, uint8_t),
            KEYWARD_FIELD(S, mixer_offset_edr, 0, 15, uint8_t),
            KEYWARD_FIELD(S, inhibit_edr, 0, 1, uint8_t),
            KEYWARD_FIELD(S, inhibit_br, 0, 1, uint8_t),
            KEYWARD_FIELD(S, tx_pa_attn_edr, 0, 7, uint8_t),
            KEYWARD_FIELD(S, tx_dbm, -128, 127, int8_t)};
}

#undef KEYWARD_FIELD

// "internal_pa=13,tx_dbm=-8": the named fields set, the others 0.
template <class Setting>
Setting ParseSetting(const std::string& text) {
    const auto fields = FieldsOf<Setting>();
    Setting setting;
    std::istringstream parts(text);
    std::string part;
    while (std::getline(parts, part, ',')) {
        const size_t equals = part.find('=');
        const std::string name = part.substr(0, equals);
        const auto field =
            std::find_if(fields.begin(), fields.end(),
                         [&name](const Field<Setting>& f) { return name == f.name; });
        if (equals == std::string::npos || field == fields.end()) {
            std::string names;
            for (const auto& f : fields) {
                names += std::string(names.empty() ? "" : ", ") + f.name;
            }
            throw UsageError{"--add takes FIELD=VALUE pairs separated by commas; '" + part +
                             "' is not one (fields: " + names + ")"};
        }
        const long value = ParseNumber(part.substr(equals + 1), field->name);
        if (value < field->min || value > field->max) {
            throw UsageError{std::string(field->name) + " must lie between " +
                             std::to_string(field->min) + " and " + std::to_string(field->max)};
        }
        field->set(setting, static_cast<int>(value));
    }
    return setting;
}

template <class Table>
void PrintTable(const Table& table) {
    using Setting = std::remove_cvref_t<decltype(table.settings[0])>;
    const auto fields = FieldsOf<Setting>();
    std::ostringstream out;
    out << "index";
    for (const auto& f : fields) {
        out << "  " << f.name;
    }
    out << '\n';
    for (int i = 0; i < table.size(); ++i) {
        char cell[64];
        std::snprintf(cell, sizeof cell, "%5d", i);
        out << cell;
        for (const auto& f : fields) {
            std::snprintf(cell, sizeof cell, "  %*d", static_cast<int>(std::string(f.name).size()),
                          f.get(table.settings[i]));
            out << cell;
        }
        out << '\n';
    }
    std::cout << out.str();
}

struct TableEdits {
    std::vector<int> deletes;
    std::vector<std::string> adds;
    int at = -1;  // insert the added settings here; -1 appends them
    bool sort = false;

    bool Any() const { return !deletes.empty() || !adds.empty() || sort; }
};

// Reads the table of `key`, applies the edits, writes it back when edited and prints it.
template <class Table>
int EditTable(const Options& options, uint16_t key, const TableEdits& edits,
              bool (CKeyWarder::*get)(uint16_t, Table&),
              bool (CKeyWarder::*set)(uint16_t, const Table&)) {
    using Setting = std::remove_cvref_t<decltype(std::declval<Table>().settings[0])>;
    std::vector<Setting> added;
    for (const std::string& text : edits.adds) {
        added.push_back(ParseSetting<Setting>(text));
    }
    return WithChip(options, edits.Any() ? Access::WRITE : Access::READ, [&](ChipSession& session) {
        Table table;
        const int errorsBefore = session.Errors();
        const bool got = (session.Keys().*get)(key, table);
        if (session.Errors() != errorsBefore) {
            return false;
        }
        if (!got && !edits.Any()) {
            Fail("key " + KeyName(key) + " has no value");
            return false;
        }
        std::vector<int> deletes = edits.deletes;
        std::sort(deletes.rbegin(), deletes.rend());
        deletes.erase(std::unique(deletes.begin(), deletes.end()), deletes.end());
        for (int index : deletes) {
            if (!table.deleteElement(index)) {
                Fail("there is no setting " + std::to_string(index) + " to delete (the table has " +
                     std::to_string(table.size()) + ")");
                return false;
            }
        }
        int at = edits.at;
        for (const Setting& setting : added) {
            const bool stored =
                at < 0 ? table.addElement(setting) : table.insertElement(at++, setting);
            if (!stored) {
                Fail(table.size() >= Table::MAX_SETTINGS
                         ? "the table is full (" + std::to_string(Table::MAX_SETTINGS) +
                               " settings)"
                         : "--at " + std::to_string(edits.at) + " lies outside the table (0 to " +
                               std::to_string(table.size()) + ")");
                return false;
            }
        }
        if (edits.sort) {
            table.Sort();
        }
        if (edits.Any() && !(session.Keys().*set)(key, table)) {
            return false;
        }
        if (session.Errors() != errorsBefore) {
            return false;
        }
        PrintTable(table);
        return true;
    });
}

int PowerTableCommand(const Options& options, uint16_t key, std::string kind,
                      const TableEdits& edits) {
    if (kind.empty()) {
        switch (key) {
            case 0x001E:  // PSKEY_LC_POWER_TABLE
                kind = "basic";
                break;
            case 0x0031:  // PSKEY_LC_ENHANCED_POWER_TABLE
                kind = "enhanced";
                break;
            case 0x241A:  // PSKEY_BT_POWER_TABLE_V0
                kind = "v0";
                break;
            default:
                throw UsageError{"say which format " + KeyName(key) +
                                 " holds with --kind basic, enhanced or v0"};
        }
    }
    if (kind == "basic") {
        return EditTable<CPowerTable>(options, key, edits, &CKeyWarder::pskv_get_power_table,
                                      &CKeyWarder::pskv_set_power_table);
    }
    if (kind == "enhanced") {
        return EditTable<CEnhancedPowerTable>(options, key, edits,
                                              &CKeyWarder::pskv_get_enhanced_power_table,
                                              &CKeyWarder::pskv_set_enhanced_power_table);
    }
    return EditTable<CBluetoothPowerTableV0>(options, key, edits,
                                             &CKeyWarder::pskv_get_bluetooth_power_table_v0,
                                             &CKeyWarder::pskv_set_bluetooth_power_table_v0);
}

// ---------------------------------------------------------------- files and canned operations

std::string Plural(int count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The file takes the output only when the run reported nothing: a dump that skipped a key
// (with --keep-going) would otherwise replace a complete old dump with an incomplete one.
int Dump(const Options& options, const std::string& file, bool annotated) {
    return WithChip(
        options, Access::READ,
        [&](ChipSession& session) {
            OutputFile output(file);
            const int errorsBefore = session.Errors();
            return output.Open() &&
                   session.Keys().dump_ps(output.TemporaryPath().c_str(),
                                          annotated ? PS_FILE_ANNOTATED : PS_FILE_PLAIN) &&
                   session.Errors() == errorsBefore && output.Commit();
        },
        [&](const ChipSession& session) {
            return "Dumped " + Plural(session.Notes().Count(), "key", "keys") + " to " + file;
        });
}

int Apply(const Options& options, const std::string& file) {
    return WithChip(
        options, Access::WRITE,
        [&](ChipSession& session) {
            return session.Keys().apply_file(keyward::Widen(file).c_str());
        },
        [&](const ChipSession& session) {
            return "Applied " + Plural(session.Notes().Count(), "operation", "operations") +
                   " of " + file;
        });
}

// A query file may also set keys (its lines before the first query), so it may change the chip.
int Query(const Options& options, const std::string& out, const std::string& in, bool annotated) {
    return WithChip(options, Access::WRITE, [&](ChipSession& session) {
        OutputFile output(out);
        const int errorsBefore = session.Errors();
        return output.Open() &&
               session.Keys().run_query(output.TemporaryPath().c_str(), keyward::Widen(in).c_str(),
                                        annotated ? PS_FILE_ANNOTATED : PS_FILE_PLAIN) &&
               session.Errors() == errorsBefore && gInterrupted == 0 && output.Commit();
    });
}

int Canned(const Options& options, const std::string& name) {
    return WithChip(options, Access::WRITE, [&](ChipSession& session) {
        return session.Keys().apply_canned(keyward::Widen(name).c_str());
    });
}

int ListCanned() {
    for (const canned_entry* entry = canned; entry->name != nullptr; ++entry) {
        char line[160];
        std::snprintf(line, sizeof line, "%-24s %s\n", keyward::Narrow(entry->name).c_str(),
                      keyward::Narrow(entry->description).c_str());
        std::cout << line;
    }
    return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    CatchInterrupts();
    CLI::App app{
        "Read and write a chip's persistent store: PS files, canned operations, keys and "
        "power tables, on a simulated chip image"};
    app.set_version_flag("--version", std::string("keyward ") + KEYWARD_TOOL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(varnak::cli::kExitStatusHelp);
    Options options;
    app.add_option("--chip", options.chip, "Chip image file (default: $KEYWARD_CHIP)")
        ->envname("KEYWARD_CHIP");
    app.add_flag("--create", options.create,
                 "Start a chip image that does not exist as a blank chip (without it, a missing "
                 "image is an error)");
    app.add_flag("-v,--verbose", options.verbose, "Print a line for every key dumped or altered");
    app.add_flag("--keep-going", options.keepGoing,
                 "Go on after a key that cannot be read or written (the exit code still says it "
                 "failed, and a dump or query answer is then not written); a line that is not "
                 "valid PS-file syntax still stops the file");
    app.add_flag("--cache", options.cache,
                 "Reach the chip through a cache that reads every key ahead on a worker thread");

    // Each command's callback checks its arguments and leaves the work in `run`, so that a usage
    // error is reported before the chip is touched.
    std::function<int()> run;
    const auto needChip = [&options] {
        if (options.chip.empty()) {
            throw UsageError{"this command needs --chip IMAGE (or KEYWARD_CHIP)"};
        }
    };

    std::string file;
    std::string second;
    bool annotated = false;
    auto* dump = app.add_subcommand("dump", "Write every key of the chip to a PS file");
    dump->add_option("FILE", file, "PS file to write (replaced once the dump is complete)")
        ->required();
    dump->add_flag("--annotated", annotated,
                   "Precede each key with its identifier and name enumerated values");
    dump->callback([&] {
        needChip();
        run = [&] { return Dump(options, file, annotated); };
    });

    auto* apply = app.add_subcommand("apply", "Run a PS file (set, add, update, delete lines)");
    apply->add_option("FILE", file, "PS file to run")->required()->check(CLI::ExistingFile);
    apply->callback([&] {
        needChip();
        run = [&] { return Apply(options, file); };
    });

    auto* query = app.add_subcommand("query", "Answer the query lines of a PS file");
    query->add_option("OUT", file, "File for the answers (replaced once they are complete)")
        ->required();
    query->add_option("IN", second, "PS file with query lines (?01f9 =)")
        ->required()
        ->check(CLI::ExistingFile);
    query->add_flag("--annotated", annotated, "Annotate the answers");
    query->callback([&] {
        needChip();
        run = [&] { return Query(options, file, second, annotated); };
    });

    std::string name;
    bool list = false;
    auto* cannedCommand = app.add_subcommand("canned", "Run a canned operation such as @usb");
    cannedCommand->add_option("NAME", name, "Name of the operation (any case)");
    cannedCommand->add_flag("--list", list, "List the canned operations");
    cannedCommand->callback([&] {
        if (list) {
            run = ListCanned;
            return;
        }
        if (name.empty()) {
            throw UsageError{"canned needs a NAME or --list"};
        }
        needChip();
        run = [&] { return Canned(options, name); };
    });

    std::string keyText;
    auto* get = app.add_subcommand("get", "Print the words of a key in hexadecimal");
    get->add_option("KEY", keyText, "Key: hex (0x01f9, 01f9) or identifier")->required();
    get->callback([&] {
        needChip();
        run = [&options, key = ParseKey(keyText)] { return Get(options, key); };
    });

    std::vector<std::string> wordTexts;
    auto* set = app.add_subcommand("set", "Set a key to the given words");
    set->add_option("KEY", keyText, "Key: hex (0x01f9, 01f9) or identifier")->required();
    set->add_option("WORD", wordTexts, "Words of one to four hex digits")->required();
    set->callback([&] {
        needChip();
        const uint16_t key = ParseKey(keyText);
        std::vector<uint16_t> words;
        for (const std::string& text : wordTexts) {
            unsigned long word = 0;
            if (!ParseHex(text, 0xFFFF, word)) {
                throw UsageError{"'" + text + "' is not a word of one to four hex digits"};
            }
            words.push_back(static_cast<uint16_t>(word));
        }
        if (IsPresentation(key) && words.size() != 1) {
            throw UsageError{KeyName(key) + " is a bit field of another key: give one word"};
        }
        run = [&options, key, words] { return Set(options, key, words); };
    });

    auto* del = app.add_subcommand("delete", "Delete a key");
    del->add_option("KEY", keyText, "Key: hex (0x01f9, 01f9) or identifier")->required();
    del->callback([&] {
        needChip();
        const uint16_t key = ParseKey(keyText);
        if (IsPresentation(key)) {
            throw UsageError{KeyName(key) +
                             " is a bit field of another key and has no value of its own"};
        }
        run = [&options, key] { return Delete(options, key); };
    });

    auto* info = app.add_subcommand("info", "Show a key's database record");
    info->add_option("KEY", keyText, "Key: hex (0x01f9, 01f9) or identifier")->required();
    info->callback([&] { run = [key = ParseKey(keyText)] { return Info(key); }; });

    std::string kind;
    TableEdits edits;
    auto* power = app.add_subcommand("power-table", "Show or edit a transmit-power table");
    power->add_option("KEY", keyText, "Key: hex or identifier, e.g. PSKEY_LC_POWER_TABLE")
        ->required();
    power->add_option("--kind", kind, "Format of the table (default: from the key)")
        ->check(CLI::IsMember({"basic", "enhanced", "v0"}));
    power->add_option("--delete", edits.deletes, "Delete the setting at INDEX (repeatable)");
    power->add_option("--add", edits.adds,
                      "Add a setting: FIELD=VALUE pairs separated by commas, the other fields 0 "
                      "(repeatable)");
    power->add_option("--at", edits.at, "Insert the added settings at INDEX instead of appending")
        ->check(CLI::NonNegativeNumber);
    power->add_flag("--sort", edits.sort, "Order the settings by output power");
    power->callback([&] {
        needChip();
        run = [&options, key = ParseKey(keyText), &kind, &edits] {
            return PowerTableCommand(options, key, kind, edits);
        };
    });

    for (CLI::App* command : app.get_subcommands({})) {
        command->footer(varnak::cli::kExitStatusHelp);
    }

    try {
        if (const std::optional<int> code = varnak::cli::ParseCommandLine(app, argc, argv)) {
            return *code;
        }
        return run();
    } catch (const UsageError& e) {
        std::cerr << "keyward: " << e.text << "\nRun with --help for more information.\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        Fail(e.what());
        return kExitFailure;
    }
}

// CKeyWarder: PS text files and command streams (dumps, applied files, queries).
#include "trace.h"

#include <keyward/keywarder.h>
#include <keyward/widetext.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <istream>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

const wchar_t* const kErrorTitle = L"Error";
const wchar_t* const kProgressCaption = L"Operation performed";
const wchar_t* const kUnknownKey = L"Unknown key";
constexpr size_t kProgressLimit = 100;  // characters of a progress note

// Every word of a line is at least one character, so a line within the limit never carries
// more words than PS_FILE_MAX_WORDS; a longer key line is checked against PS_FILE_MAX_KEY_WORDS.
static_assert(PS_FILE_MAX_LINE_CHARS <= PS_FILE_MAX_WORDS);

// White space as the "C" locale's isspace has it, whatever the process locale.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value of a hexadecimal digit, -1 for any other character: a table, since every character
// of an applied file's keys and words passes here.
constexpr auto kHexDigits = [] {
    std::array<int8_t, 256> digits{};
    digits.fill(-1);
    for (int i = 0; i < 10; ++i) {
        digits['0' + i] = static_cast<int8_t>(i);
    }
    for (int i = 0; i < 6; ++i) {
        digits['a' + i] = digits['A' + i] = static_cast<int8_t>(10 + i);
    }
    return digits;
}();

int HexDigit(char c) {
    return kHexDigits[static_cast<unsigned char>(c)];
}

// One command line, as the parser leaves it.
struct CommandLine {
    bool query = false;
    uint16_t key = 0;
    ps_file_op op = 0;
    std::vector<uint16_t> words;
};

enum class LineKind { IGNORED, OPERATION, SYNTAX_ERROR };

struct Parsed {
    LineKind kind;
    const wchar_t* error;  // SYNTAX_ERROR: the message, with %d for the line number
};

constexpr Parsed kIgnored{LineKind::IGNORED, nullptr};
constexpr Parsed kOperation{LineKind::OPERATION, nullptr};
constexpr Parsed SyntaxError(const wchar_t* message) {
    return {LineKind::SYNTAX_ERROR, message};
}

// Parses one line into `out`. Scans with a pointer held in a local: every character of an
// applied file passes here, and a position kept in an object was stored back to memory at each
// step.
Parsed ParseLine(std::string_view line, CommandLine& out) {
    out.words.clear();
    const char* next = line.data();
    const char* const end = next + line.size();
    const auto skipBlanks = [&] {
        while (next != end && IsBlank(*next)) {
            ++next;
        }
    };
    const auto atComment = [&] {
        const char c = *next;
        return c == '#' || c == ';' || (c == '/' && next + 1 != end && next[1] == '/');
    };

    skipBlanks();
    if (next == end || atComment()) {
        return kIgnored;
    }
    const char mode = *next;
    if (mode != '&' && mode != '?') {
        return SyntaxError(L"Error on line %d - line is not an operation or a comment");
    }
    out.query = mode == '?';
    ++next;

    // The key directly after the mode: any number of digits (leading zeros too), whose value
    // must fit in 16 bits; cutting a longer number to its low bits would change another key.
    int digit = next != end ? HexDigit(*next) : -1;
    if (digit < 0) {
        return SyntaxError(L"Error on line %d - invalid key");
    }
    uint16_t key = 0;
    bool tooLarge = false;
    do {
        tooLarge = tooLarge || key > 0x0FFF;
        key = static_cast<uint16_t>((key << 4) | digit);
        ++next;
    } while (next != end && (digit = HexDigit(*next)) >= 0);
    if (key == 0 || tooLarge) {
        return SyntaxError(L"Error on line %d - invalid key");
    }
    out.key = key;

    skipBlanks();
    if (next == end) {
        return SyntaxError(L"Error on line %d - missing operator");
    }
    switch (*next) {
        case '=':
            out.op = PS_OP_SET;
            break;
        case '+':
            out.op = PS_OP_ADD;
            break;
        case '~':
            out.op = PS_OP_UPDATE;
            break;
        case '-':
            out.op = PS_OP_DELETE;
            break;
        default:
            return SyntaxError(L"Error on line %d - invalid operator");
    }
    ++next;

    skipBlanks();
    if (next != end && *next == '"') {
        // Every character after the quote is one word: its 8-bit code, sign-extended.
        for (++next; next != end; ++next) {
            out.words.push_back(
                static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(*next))));
        }
        return kOperation;
    }
    for (;;) {
        skipBlanks();
        if (next == end || atComment()) {
            return kOperation;
        }
        digit = HexDigit(*next);
        if (digit < 0) {
            return SyntaxError(L"Error on line %d - non-comment text at end of line");
        }
        // One to four digits; a fifth starts the next word.
        uint16_t value = 0;
        int digits = 0;
        do {
            value = static_cast<uint16_t>((value << 4) | digit);
            ++next;
            ++digits;
        } while (digits < 4 && next != end && (digit = HexDigit(*next)) >= 0);
        out.words.push_back(value);
    }
}

// Files written with CR LF line ends read as they would in text mode.
std::string_view StripCarriageReturn(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

// Appends the rest of a line longer than the limit to `line`, up to PS_FILE_MAX_KEY_LINE_CHARS.
// True when the line end came within that; a line that ends the input without one may be the
// cut start of a longer line.
bool ReadRestOfLine(std::istream& input, std::string& line) {
    input.clear(input.rdstate() & ~std::ios::failbit);
    std::streambuf* source = input.rdbuf();
    for (;;) {
        const int c = source->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            input.setstate(std::ios::eofbit);
            return false;
        }
        if (c == '\n') {
            return true;
        }
        if (line.size() >= static_cast<size_t>(PS_FILE_MAX_KEY_LINE_CHARS)) {
            input.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
            return false;
        }
        line.push_back(static_cast<char>(c));
    }
}

// Whether a line longer than the limit is one a dump writes: a set line in apply mode with
// words (not a quoted text), at most as many as a key holds.
bool IsWholeKeyLine(std::string_view line, CommandLine& command) {
    const size_t first = line.find_first_not_of(" \t\n\v\f\r");
    if (first == std::string_view::npos || line[first] != '&' ||
        ParseLine(line, command).kind != LineKind::OPERATION || command.op != PS_OP_SET ||
        command.words.size() > PS_FILE_MAX_KEY_WORDS) {
        return false;
    }
    const size_t op = line.find('=', first);
    const size_t data = line.find_first_not_of(" \t\n\v\f\r", op + 1);
    return data == std::string_view::npos || line[data] != '"';
}

// One output line, kept on the stack while it is short, as nearly every key line is: a dump
// writes 1727 of them, and a string allocated for each cost more than formatting it.
class LineText {
  public:
    LineText() = default;
    LineText(const LineText&) = delete;
    LineText& operator=(const LineText&) = delete;

    void Append(std::string_view text) {
        if (mLong.empty() && mLength + text.size() <= sizeof mShort) {
            text.copy(mShort + mLength, text.size());
            mLength += text.size();
            return;
        }
        if (mLong.empty()) {
            mLong.assign(mShort, mLength);
        }
        mLong.append(text);
    }
    void Append(char c) { Append(std::string_view(&c, 1)); }
    void AppendHex4(uint16_t value) {
        static const char kDigits[] = "0123456789abcdef";
        const char hex[4] = {kDigits[(value >> 12) & 0xF], kDigits[(value >> 8) & 0xF],
                             kDigits[(value >> 4) & 0xF], kDigits[value & 0xF]};
        Append(std::string_view(hex, 4));
    }
    // Wide text as Narrow() converts it; plain ASCII, as identifiers and enumerators are,
    // without building a string.
    void AppendNarrow(const wchar_t* text) {
        if (text == nullptr) {
            return;
        }
        for (const wchar_t* p = text; *p != L'\0'; ++p) {
            if (static_cast<unsigned>(*p) >= 0x80) {
                Append(keyward::Narrow(text));
                return;
            }
        }
        for (const wchar_t* p = text; *p != L'\0'; ++p) {
            Append(static_cast<char>(*p));
        }
    }
    // What stream.write does for the streams a dump writes (no tie, no unitbuf), straight to
    // the buffer: the sentry that write builds for every line cost as much as the line.
    void WriteTo(std::ostream& stream) const {
        const std::string_view text = mLong.empty() ? std::string_view(mShort, mLength) : mLong;
        if (!stream.good() || stream.tie() != nullptr || (stream.flags() & std::ios::unitbuf)) {
            stream.write(text.data(), static_cast<std::streamsize>(text.size()));
            return;
        }
        const auto size = static_cast<std::streamsize>(text.size());
        if (stream.rdbuf() == nullptr || stream.rdbuf()->sputn(text.data(), size) != size) {
            stream.setstate(std::ios::badbit);
        }
    }

  private:
    char mShort[256];
    size_t mLength = 0;
    std::string mLong;
};

// "// IDENTIFIER\n", the identifier exactly as stored.
void AppendIdentifierLine(LineText& out, const pskey_entry& entry) {
    out.Append("// ");
    out.AppendNarrow(entry.identifier);
    out.Append('\n');
}

// The name of `value` in the key's enumeration, or "Unrecognised value " and the value in hex.
void AppendEnumerator(LineText& out, const pskey_entry& entry, uint16_t value) {
    const string_val_pair* list = CKeyWarder::get_enum_list(entry.minimum);
    for (const string_val_pair* e = list; e != nullptr && e->text != nullptr; ++e) {
        if (e->value == static_cast<int32_t>(value)) {
            out.AppendNarrow(e->text);
            return;
        }
    }
    char hex[8];
    const int length = std::snprintf(hex, sizeof hex, "%x", value);
    out.Append("Unrecognised value ");
    out.Append(std::string_view(hex, static_cast<size_t>(length)));
}

// Whether `key` has a value. A presentation key has one when its base key holds its field: it is
// read through the base key as it is written, so the answer does not depend on the server
// resolving presentation keys itself (a cache, which reads raw, does not).
bool HasValue(CKeyWarder& keys, uint16_t key) {
    const pskey_entry* entry = CKeyWarder::GetKeyDetails(key);
    if (entry != nullptr && entry->kind == PSKEY_KIND_PRESENTATION) {
        uint16_t field = 0;
        return keys.pskv_get_presentation(key, field);
    }
    return keys.pskv_size(key, nullptr);
}

const wchar_t* Label(const pskey_entry* entry) {
    return entry != nullptr ? entry->label : kUnknownKey;
}

// A key's label goes into its progress note after the key's requests to the chip; fetched
// while they run, it is no cache miss then (the chip's traffic pushes the key table out).
void PrefetchLabel(const pskey_entry* entry) {
    if (entry != nullptr) {
        __builtin_prefetch(entry->label);
    }
}

// Why a file could not be written, from the error number of the failed write ("No space left
// on device"); a stream that failed without one gets the general input/output error.
std::wstring WriteFailureReason(int error) {
    return keyward::Widen(std::strerror(error != 0 ? error : EIO));
}

}  // namespace

kvcmd_trans_error_response CKeyWarder::worst_response() const {
    return error_handler != nullptr ? error_handler->get_worst_response() : KVCMD_RESPONSE_NONE;
}

bool CKeyWarder::no_error_recorded() const {
    return error_handler == nullptr || error_handler->get_last_error_code() == 0;
}

void CKeyWarder::clear_worst_response() {
    if (error_handler != nullptr) {
        error_handler->clear_worst_response();
    }
}

void CKeyWarder::report_progress(const wchar_t* what, uint16_t key, const pskey_entry* entry) {
    if (error_handler == nullptr) {
        return;
    }
    // Built in place, a character at a time: a dump and an apply send one note per key, and
    // its parts are too short to gain from a length and a copy call each.
    wchar_t text[kProgressLimit + 1];
    size_t length = 0;
    auto append = [&](const wchar_t* part) {
        for (; *part != L'\0' && length < kProgressLimit; ++part) {
            text[length++] = *part;
        }
    };
    wchar_t digits[8];
    wchar_t* digit = digits + 7;
    *digit = L'\0';
    unsigned number = key;
    do {
        *--digit = static_cast<wchar_t>(L'0' + number % 10);
        number /= 10;
    } while (number != 0);
    append(what);
    append(L" ");
    append(digit);
    append(L", ");
    append(Label(entry));
    text[length] = L'\0';
    error_handler->on_error(text, kProgressCaption, 0, -1);
}

// ---------------------------------------------------------------- writing

void CKeyWarder::WriteKey(uint16_t key, const pskey_entry* entry, const uint16_t* data,
                          uint16_t count, std::ostream& stream, FileFormat format) {
    const bool annotated = format == PS_FILE_ANNOTATED && entry != nullptr;
    LineText line;
    if (annotated) {
        AppendIdentifierLine(line, *entry);
    }
    line.Append('&');
    line.AppendHex4(key);
    line.Append(" = ");
    for (uint16_t i = 0; i < count && data != nullptr; ++i) {
        if (i > 0) {
            line.Append(' ');
        }
        line.AppendHex4(data[i]);
    }
    if (annotated && entry->constraint == PSKEY_CONSTRAINT_ENUMERATION && count > 0 &&
        data != nullptr) {
        line.Append("// ");
        AppendEnumerator(line, *entry, data[0]);
    }
    line.Append('\n');
    line.WriteTo(stream);
}

void CKeyWarder::WriteDeleteKey(uint16_t key, const pskey_entry* entry, const uint16_t* /*data*/,
                                uint16_t /*count*/, std::ostream& stream, FileFormat format) {
    LineText line;
    if (format == PS_FILE_ANNOTATED && entry != nullptr) {
        AppendIdentifierLine(line, *entry);
    }
    line.Append('&');
    line.AppendHex4(key);
    line.Append(" -");
    if (format == PS_FILE_ANNOTATED) {
        line.Append(" // Delete");
    }
    line.Append('\n');
    line.WriteTo(stream);
}

// ---------------------------------------------------------------- one line

bool CKeyWarder::perform_operation(ps_file_op op, bool query, uint16_t key, const uint16_t* data,
                                   uint16_t count, std::ostream& output, FileFormat format) {
    bool stop = false;
    KEYWARD_TRACE_RETURN(stop);
    if (server == nullptr) {
        stop = true;
        return stop;
    }
    const pskey_entry* entry = findKey(key);
    PrefetchLabel(entry);
    clear_worst_response();
    do {
        if (query) {
            query_operation(op, key, entry, data, count, output, format);
        } else if (apply_operation(op, key, data, count)) {
            report_progress(L"Altered key", key, entry);
        } else {
            RaiseError(kErrorTitle, L"Failed to update key 0x%04X, %ls", key, Label(entry));
        }
    } while (worst_response() == KVCMD_RESPONSE_RETRY);
    stop = worst_response() == KVCMD_RESPONSE_ABORT;
    return stop;
}

bool CKeyWarder::apply_operation(ps_file_op op, uint16_t key, const uint16_t* data,
                                 uint16_t count) {
    switch (op) {
        case PS_OP_SET:
            return pskv_set_pres_or_raw_if_different(key, data, count);
        case PS_OP_ADD:
            clear_worst_response();
            if (HasValue(*this, key)) {
                return true;  // the key has a value: nothing to add
            }
            return worst_response() != KVCMD_RESPONSE_ABORT &&
                   pskv_set_pres_or_raw(key, data, count);
        case PS_OP_UPDATE:
            if (!HasValue(*this, key)) {
                return true;  // no value: nothing to update
            }
            return pskv_set_pres_or_raw_if_different(key, data, count);
        case PS_OP_DELETE:
            return key == PS_FACTORY_RESTORE_KEY ? pskv_factory_restore(true) : pskv_clr(key);
        default:
            return false;
    }
}

void CKeyWarder::query_operation(ps_file_op op, uint16_t key, const pskey_entry* entry,
                                 const uint16_t* data, uint16_t count, std::ostream& output,
                                 FileFormat format) {
    if (op == PS_OP_DELETE) {
        return;
    }
    // The whole key, however long: an answer is a key line that may be applied in turn.
    uint16_t* read = nullptr;
    uint16_t length = 0;
    const bool got = pskv_get_pres_or_raw(key, &read, 0, &length) && no_error_recorded();
    const std::unique_ptr<uint16_t[]> owned(read);
    const uint16_t* words = read;
    switch (op) {
        case PS_OP_SET:
            if (got) {
                WriteKey(key, entry, words, length, output, format);
            } else {
                WriteDeleteKey(key, entry, nullptr, 0, output, format);
            }
            break;
        case PS_OP_ADD:
            if (got && entry != nullptr) {
                WriteKey(key, entry, words, length, output, format);
            }
            break;
        case PS_OP_UPDATE:
            if (got && entry != nullptr &&
                !(length == count && (count == 0 || std::equal(data, data + count, words)))) {
                WriteKey(key, entry, words, length, output, format);
            }
            break;
        default:
            break;
    }
}

// ---------------------------------------------------------------- streams and files

bool CKeyWarder::RunCommandStream(std::istream& input, std::ostream& output, FileFormat format) {
    bool completed = false;
    KEYWARD_TRACE_RETURN(completed);
    if (server == nullptr) {
        return completed;
    }
    // One character more for the terminating null that getline stores.
    std::vector<char> buffer(PS_FILE_MAX_LINE_CHARS + 1);
    std::string longLine;
    CommandLine command;
    command.words.reserve(PS_FILE_MAX_LINE_CHARS);
    bool queryMode = false;
    int lineNumber = 0;
    for (;;) {
        if (server->is_cancelled()) {
            return completed;
        }
        if (!input.good()) {
            break;
        }
        input.getline(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize extracted = input.gcount();
        if (extracted == 0 && input.fail()) {
            break;  // nothing left
        }
        ++lineNumber;
        std::string_view line;
        if (input.fail() && !input.eof()) {
            // More than the limit without a line end: read whole only when it is a key line
            // that ends with a line end, as a dump writes for a long key. Applying any other
            // cut line could write a shortened value, so the stream stops with nothing of it
            // done.
            longLine.assign(buffer.data(), static_cast<size_t>(extracted));
            if (!ReadRestOfLine(input, longLine) ||
                !IsWholeKeyLine(StripCarriageReturn(longLine), command)) {
                RaiseError(kErrorTitle, L"Error on line %d - line is longer than %d characters",
                           lineNumber, PS_FILE_MAX_LINE_CHARS);
                return completed;
            }
            line = StripCarriageReturn(longLine);
        } else {
            // getline counts the line end it took; the characters stored exclude it.
            size_t length = static_cast<size_t>(extracted);
            if (!input.eof() && length > 0) {
                --length;
            }
            line = StripCarriageReturn(std::string_view(buffer.data(), length));
        }

        const Parsed parsed = ParseLine(line, command);
        if (parsed.kind == LineKind::SYNTAX_ERROR) {
            RaiseError(kErrorTitle, parsed.error, lineNumber);
            return completed;
        }
        if (parsed.kind == LineKind::IGNORED) {
            continue;
        }
        queryMode = queryMode || command.query;
        if (perform_operation(command.op, queryMode, command.key, command.words.data(),
                              static_cast<uint16_t>(command.words.size()), output, format)) {
            return completed;
        }
    }
    completed = !input.bad();
    return completed;
}

bool CKeyWarder::dump_ps(const wchar_t* path, FileFormat format) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (server == nullptr || path == nullptr) {
        return result;
    }
    // The keys come from the server's set of known keys, which only an open server has.
    if (!server->get_connected()) {
        RaiseError(kErrorTitle, L"Couldn't connect to the chip to dump its keys");
        return result;
    }
    // A buffer that holds a whole dump of short keys, so the file is written in one go.
    std::vector<char> buffer(1 << 16);
    std::ofstream file;
    file.rdbuf()->pubsetbuf(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    file.open(keyward::Narrow(path), std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file) {
        RaiseError(kErrorTitle, L"Couldn't open %ls", path);
        return result;
    }
    const bool walked = dump_keys(file, format);
    // dump_keys returns as soon as a write fails, so errno still tells why.
    const int writeError = file ? 0 : errno;
    errno = 0;
    file.close();
    if (file.fail()) {
        RaiseError(kErrorTitle, L"Couldn't write %ls: %ls", path,
                   WriteFailureReason(writeError != 0 ? writeError : errno).c_str());
        return result;
    }
    result = walked;
    return result;
}

bool CKeyWarder::dump_ps(std::ostream& stream, FileFormat format) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (server == nullptr) {
        return result;
    }
    if (!server->get_connected()) {
        RaiseError(kErrorTitle, L"Couldn't connect to the chip to dump its keys");
        return result;
    }
    result = dump_keys(stream, format) && !stream.fail();
    return result;
}

bool CKeyWarder::dump_keys(std::ostream& stream, FileFormat format) {
    clear_worst_response();
    for (uint16_t key = server->key_next(0);; key = server->key_next(key)) {
        if (key == 0) {
            return true;
        }
        // A presentation key is a bit field of its base key, whose line holds its bits already;
        // a line of its own would undo an edit of the base key's line when the file is applied.
        const pskey_entry* entry = findKey(key);
        PrefetchLabel(entry);
        WholeValue value;
        if ((entry == nullptr || entry->kind != PSKEY_KIND_PRESENTATION) &&
            read_whole(key, value) && no_error_recorded()) {
            report_progress(L"Dumped key", key, entry);
            WriteKey(key, entry, value.words(), value.length, stream, format);
            if (!stream) {
                return false;  // no use reading on: the stream takes nothing more
            }
        }
        if (worst_response() == KVCMD_RESPONSE_RETRY) {
            continue;
        }
        if (worst_response() == KVCMD_RESPONSE_ABORT || server->is_cancelled()) {
            return false;
        }
    }
}

bool CKeyWarder::run_query(const wchar_t* output_path, const wchar_t* query_path,
                           FileFormat format) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (output_path == nullptr || query_path == nullptr) {
        return result;
    }
    std::ofstream output(keyward::Narrow(output_path),
                         std::ios::out | std::ios::trunc | std::ios::binary);
    std::ifstream query(keyward::Narrow(query_path), std::ios::in | std::ios::binary);
    if (!output || !query) {
        if (!output) {
            RaiseError(kErrorTitle, L"Couldn't open %ls", output_path);
        }
        if (!query) {
            RaiseError(kErrorTitle, L"Couldn't open %ls", query_path);
        }
        return result;
    }
    const bool completed = RunCommandStream(query, output, format);
    if (query.bad()) {
        RaiseError(kErrorTitle, L"Couldn't read %ls", query_path);
        return result;
    }
    errno = 0;
    output.close();
    if (output.fail()) {
        RaiseError(kErrorTitle, L"Couldn't write %ls: %ls", output_path,
                   WriteFailureReason(errno).c_str());
        return result;
    }
    result = completed;
    return result;
}

bool CKeyWarder::apply_file(const wchar_t* path) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (path == nullptr) {
        return result;
    }
    std::ifstream file(keyward::Narrow(path), std::ios::in | std::ios::binary);
    if (!file) {
        RaiseError(kErrorTitle, L"Couldn't open %ls", path);
        return result;
    }
    std::ostream discard(nullptr);
    result = RunCommandStream(file, discard, PS_FILE_PLAIN);
    if (file.bad()) {
        // A folder opens like a file but cannot be read.
        RaiseError(kErrorTitle, L"Couldn't read %ls", path);
        result = false;
    }
    return result;
}

bool CKeyWarder::run_query(std::ostream& output, std::istream& query, FileFormat format) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = RunCommandStream(query, output, format) && !output.fail();
    return result;
}

bool CKeyWarder::apply_file(std::istream& input) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    std::ostream discard(nullptr);
    result = RunCommandStream(input, discard, PS_FILE_PLAIN);
    return result;
}

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
#include "tool.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using namespace keyward_tool;

namespace {

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

// A value of another length than the database gives the key would leave the chip with a key
// its firmware reads wrongly (one word where it expects a four-word address).
void CheckLength(uint16_t key, size_t words, bool force) {
    const pskey_entry* entry = CKeyWarder::GetKeyDetails(key);
    const int length = entry != nullptr ? CKeyWarder::StructureLen(entry->structure) : -1;
    if (length >= 0 && static_cast<size_t>(length) != words && !force) {
        throw UsageError{KeyName(key) + " holds " + std::to_string(length) +
                         (length == 1 ? " word" : " words") + ", not " + std::to_string(words) +
                         " (give --force to write them all the same)"};
    }
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
            OutputFile output(file, session);
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
        OutputFile output(out, session);
        const int errorsBefore = session.Errors();
        return output.Open() &&
               session.Keys().run_query(output.TemporaryPath().c_str(), keyward::Widen(in).c_str(),
                                        annotated ? PS_FILE_ANNOTATED : PS_FILE_PLAIN) &&
               session.Errors() == errorsBefore && !Interrupted() && output.Commit();
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
    varnak::cli::KeepWorkingWhenOutputCloses();
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
    bool force = false;
    auto* set = app.add_subcommand("set", "Set a key to the given words");
    set->add_option("KEY", keyText, "Key: hex (0x01f9, 01f9) or identifier")->required();
    set->add_option("WORD", wordTexts, "Words of one to four hex digits")->required();
    set->add_flag("--force", force,
                  "Write the words even when the key database gives the key another length");
    set->callback([&] {
        needChip();
        const uint16_t key = ParseKey(keyText);
        std::vector<uint16_t> words;
        for (const std::string& text : wordTexts) {
            words.push_back(ParseWord(text));
        }
        if (IsPresentation(key) && words.size() != 1) {
            throw UsageError{KeyName(key) + " is a bit field of another key: give one word"};
        }
        CheckLength(key, words.size(), force);
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
    power->add_option("--delete", edits.deletes, "Delete the setting at INDEX (repeatable)")
        ->transform(varnak::cli::DecimalNumber());
    power->add_option("--add", edits.adds,
                      "Add a setting: FIELD=VALUE pairs separated by commas, the other fields 0 "
                      "(repeatable)");
    power->add_option("--at", edits.at, "Insert the added settings at INDEX instead of appending")
        ->transform(varnak::cli::DecimalNumber());
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
        return varnak::cli::ExitCodeAfterOutput(run());
    } catch (const UsageError& e) {
        std::cerr << "keyward: " << e.text << "\nRun with --help for more information.\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        Fail(e.what());
        return kExitFailure;
    }
}

/// @file
/// @brief PS text files and command streams: the forms a dump or a query answer is written in, and
/// the operations of a command line. CKeyWarder reads and writes them (dump_ps, run_query,
/// apply_file, WriteKey).
///
/// One line syntax serves dumps, applied files and queries:
///
///     # a comment (also ';' or '//')
///     &01f9 = 0003                    set PSKEY_HOST_INTERFACE to 3 (skipped when equal)
///     &0001 = 00789abc00561234        four words: a fifth digit starts the next word
///     &00dc = "Abc                    a quote: each character after it is one word
///     &0205 ~ 00a8                    update: only when the key has a value
///     &03c0 + 0000                    add: only when the key has no value
///     &028a -                         delete; &ff00 - restores every key's factory value
///     ?01f9 =                         query (from the first '?' line on, every line is one)
///
/// Keys are hex digits taken to their low 16 bits; data words are one to four hex digits.
/// Lines are limited to 1999 characters; a longer line is read whole only when it is a set line
/// ("&KEY = words", ended by a line end) as a dump writes for a long key, so that every key a
/// chip holds comes back when its dump is applied. Any other longer line stops the stream.
#pragma once

#include <cstdint>

/// The form of written key lines: PS_FILE_ANNOTATED precedes each key line with a comment line
/// holding the key's identifier and names enumerated values in a trailing comment; every other
/// value selects the plain form.
typedef int FileFormat;
enum : FileFormat {
    PS_FILE_PLAIN = 0,      ///< key lines only
    PS_FILE_ANNOTATED = 2,  ///< key lines with identifiers and value names
};

/// The operation of one command line.
typedef int32_t ps_file_op;
enum : ps_file_op {
    PS_OP_SET = 1,     ///< '=': set the key (skipped when already equal)
    PS_OP_ADD = 2,     ///< '+': set the key only when it has no value
    PS_OP_UPDATE = 3,  ///< '~': set the key (skipped when equal) only when it has a value
    PS_OP_DELETE = 4,  ///< '-': delete the key; PS_FACTORY_RESTORE_KEY restores every key
};

/// Deleting this key (not a real key) restores the factory value of every key.
constexpr uint16_t PS_FACTORY_RESTORE_KEY = 0xFF00;
/// Characters of a line the interpreter reads; a longer line is reported and ends the stream,
/// unless it is a whole set line of at most PS_FILE_MAX_KEY_LINE_CHARS.
constexpr int PS_FILE_MAX_LINE_CHARS = 1999;
/// Data words a line within the limit can carry.
constexpr int PS_FILE_MAX_WORDS = 2000;
/// The words of the longest key.
constexpr int PS_FILE_MAX_KEY_WORDS = 0xFFFF;
/// The characters of the longest set line read: the longest key's line as a dump writes it ("&KKKK
/// = " and the words with a blank between), with room for a trailing comment.
constexpr int PS_FILE_MAX_KEY_LINE_CHARS =
    8 + 5 * PS_FILE_MAX_KEY_WORDS - 1 + PS_FILE_MAX_LINE_CHARS;

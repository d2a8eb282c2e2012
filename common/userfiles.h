// Files a user names on a command line or in a dialog: where a write to one lands and whether
// it may, and reading one that must be a regular file.
//
// The writers resolve symbolic links themselves (replacing a linked settings file keeps the
// link), and the kernel's protection of links in shared folders (fs.protected_symlinks) does
// not look at links a program resolves on its own. So the same rule is kept here: in a folder
// that anyone may write to and that is sticky, such as /tmp, a link is followed only when it
// belongs to the caller or to the folder's owner. Without it, a link planted in /tmp by one
// user would make another user's (or root's) program replace a file of the link's choosing.
#pragma once

#include <filesystem>
#include <string>

namespace varnak {

// The file a write that replaces `path` lands in: `path`, or the end of its chain of links,
// followed under the rule above. An existing file must be a regular file that the caller may
// write by its permission bits; root too must find a write bit, since a file made read-only
// is not to be replaced behind its owner's back. False, with the reason in *error (naming the
// file), otherwise.
bool ResolveWriteTarget(const std::filesystem::path& path, std::filesystem::path& target,
                        std::string* error);

// Opens `path` for appending (O_WRONLY | O_APPEND | O_CREAT, close-on-exec; mode 0666 less the
// umask for a new file), following links only under the rule above and refusing a file the
// caller may not write by its permission bits. The descriptor, or -1 with the reason in *error.
int OpenForAppending(const std::filesystem::path& path, std::string* error);

// Reads the whole of `path`, which must be a regular file: a FIFO would hold the reader until
// someone writes into it, and a folder or a device is no file to load. Links are followed under
// the rule above. False, with the reason in *error, otherwise.
bool ReadRegularFile(const std::filesystem::path& path, std::string& text, std::string* error);

}  // namespace varnak

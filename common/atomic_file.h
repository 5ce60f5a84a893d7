// Replacing a small file as a whole.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tavrin {

// Replaces `path` with a file holding `text`, with permissions `mode`: the
// text goes to a new file beside it, which is renamed over it once written
// and closed, so a reader never sees half a file and a link placed at the
// path is replaced, not followed. Returns false when a step fails (the
// directory is missing, a write or the close fails, the rename fails),
// which leaves the old file and no new one. Thread-safe: concurrent writers
// each leave a whole file.
bool writeFileAtomically(const std::string& path, std::string_view text, mode_t mode);

}  // namespace tavrin

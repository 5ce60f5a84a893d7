// The notes model that arrives by itself: with model downloads on and no
// usable model, the first `status`, `extract` or `synthesize` starts the
// download of the catalogue's notes model in a detached process, which
// outlives the helper; the helper answers "still downloading" meanwhile.
#pragma once

#include <cstdint>

namespace tavrin::llm {

// Below this much memory the small notes model is fetched instead of the
// default one: the default's weights and context take about 1.5 GB, and the
// recording, the speech helper and the desktop need the rest.
inline constexpr uint64_t kDefaultNotesModelMemory = uint64_t{4} << 30;

// Whether a notes model is being downloaded now, starting the download when
// none is and it may be: the model that fits `physicalMemory` is not
// installed in the user's data home and downloads are on. One download at a
// time: the installer's lock is held by the detached process for its whole
// run. A download that failed leaves <file>.failed holding why, and for ten
// minutes after none is started (offline, the answer is then the one given
// with no model, not "still downloading"). Never throws; a download that
// cannot be started is none.
bool fetchNotesModel(uint64_t physicalMemory);

}  // namespace tavrin::llm

#pragma once

#include <sys/types.h>

#include <string>

namespace vorn {

// Files that must survive a crash or a power cut at any moment.

// Replaces `path` with `content`: written to a temporary file beside it
// ("<path>.XXXXXX", mode `mode`), flushed to disk, renamed over the old file,
// and the folder flushed. A crash leaves either the old or the new file whole
// (and perhaps a stale temporary file). False, with the old file untouched,
// when any step failed.
bool ReplaceFileDurably(const std::string& path, const std::string& content, mode_t mode = 0600);

// The same replacement without waiting for the disk: readers see the old or
// the new file whole, but a power cut may lose the new one (or leave it
// empty). Only for content that can be made again the same way.
bool ReplaceFileUnflushed(const std::string& path, const std::string& content, mode_t mode = 0600);

// Appends `content` to `path` (created with mode 0600 when missing) and flushes
// it to disk before returning. False when not all of it was written.
bool AppendDurably(const std::string& path, const std::string& content);

}  // namespace vorn

// registry: the path routines of the conversion engine (the folder chooser, the other half of
// this module, is in filelist/registry.h). Store folder paths use "\" between names; file-list
// rows are absolute paths in drive form (C:\Mail\a.eml) or POSIX form (/home/ann/a.eml).
// Failures are values. Any thread.
#pragma once

#include <QString>

#include "base/result.h"

namespace registry {

// The part of path up to and including its last "\"; the empty text when path holds no "\".
// A path ending in "\" comes back unchanged. Fails with out-of-range for the empty path.
wharfline::Result<QString> FolderOfPath(const QString& path);

// The relative folder of a file-list row: its folder without drive, colon, leading and trailing
// "\" (C:\Mail\2010\a.eml gives Mail\2010), or for a POSIX row the folders after the root
// joined by "\" (/home/ann/Mail/2010/a.eml gives home\ann\Mail\2010). Spaces around the row are
// ignored. A file directly in a root (C:\a.eml, /a.eml) has the empty relative folder.
// Fails with out-of-range for a row that is neither form (no ":", as in the empty row or a
// \\server\share path) and for a row naming a root itself (C:\, /).
wharfline::Result<QString> RelativeFolderOf(const QString& rowText);

}  // namespace registry

// The import of one listed file: the body of the run's per-file stage. A file that does not
// make it into the store is recorded with its reason; the run goes on with the next. Window's
// thread only.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "run/message_files.h"
#include "run/run_state.h"

namespace convert {

class RowSource;

// Imports the file of row `row` into the store folder of its source folder in state.newStore,
// found by the path "\\" + state.storeDisplayName + "\" + relative folder (a file in a root goes
// to the store's top folder). The row is read afresh for every use, since the list may change
// while the run yields. Returns the file's relative folder; when that cannot be worked out,
// previous_folder comes back, as the run goes on with what it had. A file that was not stored
// goes to failures with the first reason, and what the import noticed about a stored one goes
// to notes. The message is marked read by the store, as every stored message is.
QString ImportMessage(RowSource& rows, std::int32_t row, RunState& state, MessageFiles& files,
                      const QString& previous_folder, std::vector<FileFailure>& failures,
                      std::vector<FileFailure>& notes);

// The folder at path ("\"-separated names below the top folder, letter case ignored; "" is the
// top folder), or NotFound naming the first name missing.
wharfline::Result<store::FolderRef> FolderAtPath(store::Store& store, const QString& path);

}  // namespace convert

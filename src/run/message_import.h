// The import of one listed file: the body of the run's per-file stage. Every step runs under
// the skip-and-continue regime; a file that does not make it into the store is recorded with
// its reason. Window's thread only.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "run/run_state.h"
#include "run/skip_on_failure.h"

namespace convert {

class RowSource;

// The property the import sets on every message, and the value it writes: read. The store keeps
// the has-attachments bit in step with the message's visible attachments itself.
inline constexpr std::uint32_t kPrMessageFlags = 0x0E070003;
inline constexpr std::int32_t kMsgFlagRead = 0x01;
inline constexpr std::int32_t kMsgFlagHasAttach = 0x10;

// Imports the file of row `row` into the store folder of its source folder, reached through
// state.rdoSession by "\\" + state.storeDisplayName + "\" + relative folder (a file in a root
// goes to the store's top folder). The row is read afresh for every use, since the list may
// change while the run yields. Returns the file's relative folder; when that cannot be worked
// out, previous_folder comes back, as the run goes on with what it had. Never throws a store
// error: failed steps go to steps, a file that was not stored goes to failures, and what the
// import noticed about a stored one goes to notes. An item whose import failed is not saved, so
// nothing empty is left behind.
QString ImportMessage(RowSource& rows, std::int32_t row, RunState& state,
                      store::Components& components, const QString& previous_folder,
                      FailureLog& steps, std::vector<FileFailure>& failures,
                      std::vector<FileFailure>& notes);

}  // namespace convert

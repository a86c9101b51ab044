// The import of one listed file: the body of the run's per-file stage. A file that does not
// make it into the store is recorded with its reason; the run goes on with the next. Window's
// thread only.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

#include "run/message_files.h"
#include "run/run_state.h"

namespace convert {

class RowSource;

// What the run is asked for beyond storing every listed message, marked read.
struct RunOptions {
  // Store the user's handling of each message as its mail program kept it (unread, answered,
  // forwarded, flagged) instead of marking it read.
  bool keep_state = false;
  // Store a message only once: a file holding a message already stored in this run (same
  // Message-ID, Date, sender and body) is left out and named with the file it repeats.
  bool skip_duplicates = false;
  // Only messages sent at or after sent_from and before sent_before are stored, when set; the
  // sent time is the one the importer settled on.
  std::optional<mail::FileTime> sent_from;
  std::optional<mail::FileTime> sent_before;
  // When the next message would take the store past this many bytes, the run goes on in a
  // new store: Outlook's default limit for a Unicode store.
  std::uint64_t max_store_size = kDefaultMaxStoreSize;
  static constexpr std::uint64_t kDefaultMaxStoreSize = std::uint64_t{50} << 30;
  // Told of each message as it goes to the store, with its row (to record what to verify).
  std::function<void(std::int32_t row, const mail::MessageContent& message)> on_store;
};

// What became of a listed file.
enum class FileFate {
  kStored,
  kFailed,        // named in failures with its reason
  kOutsideDates,  // read, but sent outside the dates asked for
  kDuplicate,     // read, but a message stored before from another row
};

// Which messages a run stores, by its options; remembers the identity of each message stored
// (32 bytes and a row) to tell a copy of it.
class MessageSieve {
 public:
  explicit MessageSieve(RunOptions options = {}) : options_(options) {}
  const RunOptions& options() const { return options_; }
  // kStored for a message to store; kDuplicate with *first_row the row it repeats. When copies
  // are to be told, the message's identity is worked out into it first.
  FileFate Judge(ReadMessage& message, std::int32_t* first_row) const;
  void Stored(const ReadMessage& message, std::int32_t row);

 private:
  struct IdentityHash {
    std::size_t operator()(const std::array<std::uint8_t, 32>& identity) const;
  };
  RunOptions options_;
  std::unordered_map<std::array<std::uint8_t, 32>, std::int32_t, IdentityHash> stored_;
};

// Imports the file of row `row` into the store folder of its source folder in state.newStore,
// found by the path "\\" + state.storeDisplayName + "\" + relative folder (a file in a root goes
// to the store's top folder). The row is read afresh for every use, since the list may change
// while the run yields. Returns the file's relative folder; when that cannot be worked out,
// previous_folder comes back, as the run goes on with what it had. A file that was not stored
// goes to failures with the first reason, and what the import noticed about a stored one goes
// to notes. A message the sieve leaves out is neither; *fate says what became of the file (and
// *first_row, for a duplicate, which row it repeats). Unless the sieve's options keep its state,
// the message is marked read by the store, as every stored message is.
QString ImportMessage(RowSource& rows, std::int32_t row, RunState& state, MessageFiles& files,
                      MessageSieve& sieve, const QString& previous_folder,
                      std::vector<FileFailure>& failures, std::vector<FileFailure>& notes,
                      FileFate* fate, std::int32_t* first_row);

// The folder at path ("\"-separated names below the top folder, letter case ignored; "" is the
// top folder), or NotFound naming the first name missing.
wharfline::Result<store::FolderRef> FolderAtPath(store::Store& store, const QString& path);

}  // namespace convert

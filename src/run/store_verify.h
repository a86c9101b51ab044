// Proof that a store holds its message files: the store is read back with our own reader and
// every message compared with its source file, read and imported again: its folder, subject,
// sender, recipients, sent time, plain and HTML body (byte for byte), and every attachment
// by name, size and SHA-256. Only ever reads, the store and the message files alike.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>
#include <vector>

#include "run/message_files.h"

namespace convert {

struct VerifyOutcome {
  std::int64_t expected = 0;  // message files given
  std::int64_t verified = 0;  // messages found whole, each in its folder
  QString refused;            // why the store could not be read at all (then nothing else)
  QStringList differences;    // one line each: "path: what differs"
  bool ok() const { return refused.isEmpty() && differences.isEmpty() && verified == expected; }
};

// Checks the store at `store_path` (bytes, as the system takes it) against `rows`: file-list
// rows (absolute paths, see registry::RelativeFolderOf) of the files it should hold, in the
// order they were converted. Each message is looked for in the store folder of its row's
// relative folder (letter case ignored, as the run files them), the n-th file of a folder
// against the n-th message of that folder. Messages of the store that no file accounts for
// are differences too.
VerifyOutcome VerifyStoreAgainstFiles(const std::string& store_path, const QStringList& rows,
                                      const FileReader& read);

// The same over the stores of one run that went on in new files: each folder's messages are
// looked for in every store.
VerifyOutcome VerifyStoresAgainstFiles(const std::vector<std::string>& store_paths,
                                       const QStringList& rows, const FileReader& read);

// "Verified N of N messages." or, when something differs, "Verified K of N messages; M
// differences:" (the differences follow it).
QString VerifyHeadLine(const VerifyOutcome& outcome);

}  // namespace convert

// Proof that a store holds its message files: the store is read back with our own reader and
// every message compared with its source file, read and imported again: its folder, subject,
// sender, recipients, sent time, plain and HTML body (byte for byte), and every attachment
// by name, size and SHA-256. Only ever reads, the store and the message files alike.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>
#include <vector>

#include "base/message.h"
#include "base/result.h"
#include "run/message_files.h"

namespace convert {

struct VerifyOutcome {
  std::int64_t expected = 0;  // message files given
  std::int64_t verified = 0;  // messages found whole, each in its folder
  QString refused;            // why the store could not be read at all (then nothing else)
  QStringList differences;    // one line each: "path: what differs"
  bool ok() const { return refused.isEmpty() && differences.isEmpty() && verified == expected; }
};

// One thing compared of a message: its value as stored (texts in UTF-16), or for bodies and
// attachment contents their SHA-256; counts and sizes as 8 bytes.
struct VerifyField {
  enum class Kind : std::uint8_t {
    kSubject, kSenderName, kSenderAddress, kSentTime, kBody, kHtml,
    kRecipients, kRecipientName, kRecipientAddress, kRecipientType,
    kAttachments, kAttachmentName, kAttachmentShortName, kAttachmentSize, kAttachmentContent,
  };
  Kind kind;
  std::uint16_t index;  // the recipient's or attachment's, from 0
  QByteArray value;
};

// What a message file should be in the store, as its import gave it: what pairs it with a
// stored message (subject, sent time and sender), and every field compared.
struct ExpectedMessage {
  QByteArray key;
  std::vector<VerifyField> fields;
};
ExpectedMessage ExpectedOf(const mail::MessageContent& message);
// The same in one block of bytes, to keep many of them (a run's worth) in little memory.
QByteArray Packed(const ExpectedMessage& message);
ExpectedMessage Unpacked(const QByteArray& packed);

// Where the expected messages come from: the files read and imported again, or what the run
// recorded as it stored them.
class Expectations {
 public:
  virtual ~Expectations() = default;
  // The files in the order they will be asked for.
  virtual void Expect(const std::vector<QString>& files) { (void)files; }
  virtual wharfline::Result<ExpectedMessage> Get(const QString& file) = 0;
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

// The same against expectations from elsewhere.
VerifyOutcome VerifyStores(const std::vector<std::string>& store_paths, const QStringList& rows,
                           Expectations& expectations);

// "Verified N of N messages." or, when something differs, "Verified K of N messages; M
// differences:" (the differences follow it).
QString VerifyHeadLine(const VerifyOutcome& outcome);

}  // namespace convert

// Proof that a store holds its message files: the store is read back with our own reader and
// every message compared with what its source file gave, as the run recorded it or read and
// imported again: its folder, subject, sender, recipients, sent time, plain and HTML body (by
// SHA-256), and every attachment by name, size and SHA-256. Only ever reads, the store and the
// message files alike.
#pragma once

#include <QByteArray>
#include <QHash>
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
  // A text kept as the first 16 bytes of its SHA-256 only (a long one, once packed).
  bool digested = false;
};

// What a message file should be in the store, as its import gave it: what pairs it with a
// stored message (subject, sent time and sender), and every field compared.
struct ExpectedMessage {
  QByteArray key;
  std::vector<VerifyField> fields;
};
ExpectedMessage ExpectedOf(const mail::MessageContent& message);
// The same in one block of bytes, to keep many of them (a run's worth) in little memory: a
// text longer than 32 bytes is kept by its digest, so a difference in it is told without it.
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

// What a run recorded of each message as it stored it, packed, by the row of its file.
class RecordedExpectations final : public Expectations {
 public:
  explicit RecordedExpectations(QStringList rows) : rows_(std::move(rows)), packed_(rows_.size()) {}
  void Record(std::int32_t row, const mail::MessageContent& message);
  wharfline::Result<ExpectedMessage> Get(const QString& file) override;

 private:
  QStringList rows_;
  std::vector<QByteArray> packed_;
  QHash<QString, qsizetype> row_of_;  // made when first asked
};

// Checks the stores at `store_paths` (bytes, as the system takes them; one, or every store of
// a run that went on in new files) against `rows`: file-list rows (absolute paths, see
// registry::RelativeFolderOf) of the files they should hold, in the order they were
// converted. Each message is looked for in the store folder of its row's relative folder
// (letter case ignored, as the run files them) in every store, paired by subject, sent time
// and sender, else the n-th file left of a folder against the n-th message left. Messages of
// the stores that no file accounts for are differences too. The expectations come from the
// run that stored them or, in VerifyStoresAgainstFiles, from reading and importing each file
// again.
VerifyOutcome VerifyStores(const std::vector<std::string>& store_paths, const QStringList& rows,
                           Expectations& expectations);
VerifyOutcome VerifyStoresAgainstFiles(const std::vector<std::string>& store_paths,
                                       const QStringList& rows, const FileReader& read);

// "Verified N of N messages." or, when something differs, "Verified K of N messages; M
// differences:" (the differences follow it).
QString VerifyHeadLine(const VerifyOutcome& outcome);

}  // namespace convert

// The MIME importer: one .eml/.emlx message file (or its bytes) becomes the properties,
// recipients and attachments of one Outlook message (mail::MessageContent). Input is only ever
// read. Each call is independent and may run on any thread; GMime is initialised once per
// process on first use. Failures are values; no input makes these functions crash or hang.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/message.h"
#include "base/result.h"

namespace mime {

struct ImportOptions {
  // The file the bytes came from. Used to find the attachments Apple Mail kept beside a
  // .partial.emlx, and as the subject of a file that has no message headers. May be empty.
  std::filesystem::path source_path;
  // The file's modification time (seconds since 1970 UTC), a late fallback for the sent date.
  std::optional<std::int64_t> file_time;
  // The import clock (seconds since 1970 UTC): the last-resort date, and dates later than one
  // day after it count as implausible. With it fixed the output is deterministic.
  std::int64_t now = 0;
  // Holds the bytes given to ImportMessageBytes, when the caller can share them. Attachment
  // content past the first decode_now_bytes (encoded) of a message then stays encoded in
  // those bytes and is decoded as the message is written, piece by piece: the message keeps
  // the bytes alive until then, but never holds a large attachment decoded. Without an owner
  // every attachment is decoded now.
  std::shared_ptr<const void> file_owner;
  std::uint64_t decode_now_bytes = 4u << 20;
};

// What makes two files the same message: a SHA-256 over its Message-ID, its Date, its sender
// and its body. Copies of one message share it; files that differ in any of those do not.
using MessageIdentity = std::array<std::uint8_t, 32>;

struct ImportedMessage {
  mail::MessageContent content;
  // Things the user may want to know about this file (emlx count mismatch, attachments that
  // were never downloaded, headers missing, ...). The message is still complete otherwise.
  std::vector<std::string> warnings;
  // What the user should be told: where the importer had to guess or repair to keep the
  // message whole (a charset, a date, a damaged header block, content kept as written).
  std::vector<std::string> notes;
  bool attachments_missing = false;  // a .partial.emlx part whose data could not be found
  // The user's handling of the message as its mail program kept it (Apple Mail's flags, the
  // X-Mozilla-Status, Status and X-Status headers). Not applied to content: keeping it is
  // the caller's choice (mail::ApplyMessageState).
  mail::MessageState state;
  // The time its Date header gives (seconds since 1970 UTC), when it could be read: with the
  // content, what IdentityOf takes.
  std::optional<std::int64_t> header_date;
};

// The identity of an imported message, from its content and header_date. Worked out only
// when asked for: it hashes the whole body.
MessageIdentity IdentityOf(const mail::MessageContent& content,
                           std::optional<std::int64_t> header_date);

// Maps a message file's bytes. Recognises emlx framing by content. Fails (InvalidArgument)
// only for an empty input; anything else gives a best-effort message.
wharfline::Result<ImportedMessage> ImportMessageBytes(std::span<const std::byte> file,
                                                      const ImportOptions& options);

// Reads the file (never writes it) and maps it; options.source_path and file_time are taken
// from the path, and the message holds the file's bytes while it reads attachments from them.
// Fails with IOError when the file cannot be read.
wharfline::Result<ImportedMessage> ImportMessageFile(const std::filesystem::path& path,
                                                     std::int64_t now);

}  // namespace mime

// The message files of a run, as the run reads them: each file made into a message by the
// MIME importer, with what the user should hear about it. The real reading (read ahead on
// worker threads) is PrefetchingMessageFiles in message_prefetch.h; tests hand in their own.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/message.h"
#include "base/result.h"
#include "run/path_list.h"

namespace convert {

// A message file as read: its content, what the user should hear about it although it was
// read (UTF-8 sentences), and how many bytes of the file it holds on to (what the read-ahead
// counts against its limit). With them, what the run may be asked to keep or compare: the
// user's handling of the message (not yet applied to content), and the time its Date header
// gives, which with the content makes the digest that tells two files holding the same message
// (worked out by the run only when it is asked to store each message once).
struct ReadMessage {
  mail::MessageContent content;
  std::vector<std::string> notes;
  std::uint64_t file_bytes = 0;
  mail::MessageState state;
  std::optional<std::int64_t> header_date;
  std::array<std::uint8_t, 32> identity{};  // set by MessageSieve::Judge when it needs it
};

class MessageFiles {
 public:
  virtual ~MessageFiles() = default;
  // The message in the file at path (exactly as listed), or why there is none.
  virtual wharfline::Result<ReadMessage> Read(const QString& path) = 0;
  // A hint that these files will be read next, in this order, so they may be read ahead.
  // Nothing depends on it; no list, or an empty one, ends the look-ahead.
  virtual void Expect(std::shared_ptr<const PathList> paths) { (void)paths; }
};

// Reads a message file once (never writing it) and imports it with the MIME importer. path is
// the file's name as the system takes it (bytes; see base/native_path.h). Safe to call on
// several threads at once.
wharfline::Result<ReadMessage> ReadMessageFile(const std::string& path);
using FileReader = std::function<wharfline::Result<ReadMessage>(const std::string& path)>;

}  // namespace convert

// Apple Mail .emlx framing and the in-memory clean-up before parsing. Everything here works on
// a byte buffer the caller owns and returns offsets into it; nothing is read from disk or
// written. Plain standard C++, safe to call from any thread.
//
// An .emlx file is: a first line holding a decimal byte count N, then N bytes of RFC 5322
// message (LF line ends), then an XML property list with Apple Mail's metadata.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mime {

// The property-list keys the importer uses. Absent keys stay empty.
struct EmlxMetadata {
  std::optional<std::int64_t> flags;    // Apple Mail's message flag bits
  std::optional<double> date_received;  // seconds since 1970-01-01 UTC
  std::optional<double> date_sent;      // seconds since 1970-01-01 UTC
};

// Where the RFC 5322 message sits inside the file bytes.
struct MessageFrame {
  std::size_t offset = 0;             // first byte of the message, after any emlx count line
  std::size_t length = 0;             // message bytes (the whole file for a plain message)
  bool emlx = false;                  // an emlx count line was found
  EmlxMetadata metadata;              // from the property-list trailer, when there is one
  std::vector<std::string> warnings;  // count disagreements and the like, for the run's report
};

// Recognises emlx framing by content (never by file name). A first line that is not a count
// means the whole buffer is the message. A count that runs past the end, or that does not end
// where the property list starts, is not trusted: the message is then the bytes up to the
// trailer (or to the end of the file), and a warning says so.
MessageFrame FrameMessage(std::span<const std::uint8_t> file);

// Number of leading bytes of a message to skip before parsing: a UTF-8 byte order mark,
// blank lines, and an mbox "From " separator line.
std::size_t SkipPreamble(std::span<const std::uint8_t> message);

// Reads the keys of EmlxMetadata from an XML property list; unknown keys and types are
// ignored, a binary property list yields nothing.
EmlxMetadata ParsePlist(std::span<const std::uint8_t> plist);

}  // namespace mime

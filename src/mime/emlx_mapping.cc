// What the mapping takes from Apple Mail beyond the .emlx framing (emlx.cc): the dates and
// flags of the property list, and the attachments a .partial.emlx left out of the message and
// stored beside it (<mailbox>/Attachments/<N>/<part>/<file>).
#include <gmime/gmime.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "mime/importer_internal.h"

namespace mime::detail {

// Where Apple Mail keeps the attachments of a .partial.emlx: <mailbox>/Attachments/<N>, for a
// message file <mailbox>/Messages/<N>.partial.emlx.
void FindPartialAttachmentFolder(const std::filesystem::path& source_path, ImportContext& ctx) {
  std::string file_name = PathToUtf8(source_path.filename());
  if (!source_path.empty()) {
    std::string number = file_name.substr(0, file_name.find('.'));
    std::filesystem::path mailbox = source_path.parent_path().parent_path();
    if (!number.empty() && !mailbox.empty()) {
      ctx.mailbox = mailbox;
      ctx.partial_root = mailbox / "Attachments" / number;
    }
  }
}

// Apple Mail's partial messages keep a stripped part's headers and drop its body.
bool Walker::ApplePartMissing(GMimeObject* object) {
  return !RawHeader(object, "X-Apple-Content-Length").empty() &&
         DecodedContent(GMIME_PART(object)).empty();
}

// The content Apple Mail stored outside a .partial.emlx, with its file name.
std::optional<std::pair<Bytes, std::string>> Walker::ReadPartialAttachment(
    const std::string& path) {
  if (ctx_.partial_root.empty() || path.empty()) return std::nullopt;
  std::error_code ec;
  std::filesystem::path dir = ctx_.partial_root / path;
  if (!std::filesystem::is_directory(std::filesystem::symlink_status(dir, ec))) {
    return std::nullopt;
  }
  // Only from inside the message's own mailbox: a link on the way (Attachments, or its
  // numbered folder) that leads elsewhere is refused, and the attachment counts as missing.
  const std::filesystem::path real_mailbox = std::filesystem::canonical(ctx_.mailbox, ec);
  if (ec) return std::nullopt;
  const std::filesystem::path real_dir = std::filesystem::canonical(dir, ec);
  if (ec) return std::nullopt;
  if (std::mismatch(real_mailbox.begin(), real_mailbox.end(), real_dir.begin(), real_dir.end())
          .first != real_mailbox.end()) {
    return std::nullopt;
  }
  std::vector<std::filesystem::path> files;
  for (auto it = std::filesystem::directory_iterator(dir, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec) && !it->is_symlink(ec)) files.push_back(it->path());
  }
  if (files.empty()) return std::nullopt;
  std::sort(files.begin(), files.end());
  std::ifstream in(files.front(), std::ios::binary);
  if (!in) return std::nullopt;
  Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return std::make_pair(std::move(data), PathToUtf8(files.front().filename()));
}

// A date of the property list, when it is plausible.
std::optional<std::int64_t> EmlxTime(const std::optional<double>& v, std::int64_t now) {
  if (!v) return std::nullopt;
  auto t = static_cast<std::int64_t>(*v);
  return IsPlausible(t, now) ? std::optional(t) : std::nullopt;
}

// Apple Mail's flags: replied to, forwarded, flagged. Returns the icon they call for.
std::int32_t MapEmlxFlags(const EmlxMetadata* emlx, std::vector<mail::Property>& props) {
  std::int32_t icon = 0x100;
  if (emlx != nullptr && emlx->flags) {
    std::int64_t flags = *emlx->flags;
    if (flags & 0x4) {
      icon = 0x105;
      SetInt(props, tag::kLastVerbExecuted, 102);
    } else if (flags & 0x100) {
      icon = 0x106;
      SetInt(props, tag::kLastVerbExecuted, 104);
    }
    if (flags & 0x10) SetInt(props, tag::kFlagStatus, 2);
  }
  return icon;
}

}  // namespace mime::detail

#include "run/path_list.h"

namespace convert {

std::uint32_t PathList::FolderIndex(const QString& folder) {
  // Files come folder by folder, so the last folder is nearly always the one.
  if (!folders_.empty() && folders_.back() == folder) {
    return static_cast<std::uint32_t>(folders_.size() - 1);
  }
  if (const auto it = folder_index_.constFind(folder); it != folder_index_.constEnd()) return *it;
  const auto index = static_cast<std::uint32_t>(folders_.size());
  folder_index_.insert(folder, index);
  folders_.push_back(folder);
  return index;
}

void PathList::Append(const QString& folder, QStringView name) {
  const std::uint32_t index = FolderIndex(folder);
  entries_.push_back(Entry{names_.size(), static_cast<std::uint32_t>(name.size()), index});
  names_.insert(names_.end(), name.utf16(), name.utf16() + name.size());
}

void PathList::Append(QStringView path) {
  qsizetype cut = path.size();
  while (cut > 0 && path[cut - 1] != u'/' && path[cut - 1] != u'\\') --cut;
  Append(path.left(cut).toString(), path.mid(cut));
}

QString PathList::At(std::size_t i) const {
  const Entry& e = entries_[i];
  const QString& folder = folders_[e.folder];
  QString path;
  path.reserve(folder.size() + static_cast<qsizetype>(e.name_size));
  path.append(folder);
  path.append(QStringView(names_.data() + e.name_at, static_cast<qsizetype>(e.name_size)));
  return path;
}

}  // namespace convert

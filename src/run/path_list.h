// PathList: a long list of file paths held compactly. A run over a million files keeps their
// paths for its whole length (the look-ahead reads them, the summary names the files that
// failed), and as one QString each they cost about 150 bytes a file. Here each distinct folder
// is held once and each file as its name's characters plus 16 bytes, about 40 bytes a file.
// Paths come back exactly as they went in (UTF-16, lone surrogates and all).
//
// Appending is for one thread. A list no longer appended to may be read from several threads
// at once; share it as std::shared_ptr<const PathList>.
#pragma once

#include <QHash>
#include <QString>
#include <QStringView>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace convert {

class PathList {
 public:
  PathList() = default;

  // Appends path: the part up to its last separator ("/" or "\") is its folder.
  void Append(QStringView path);
  // Appends the path folder + name; folder ends in a separator or is empty.
  void Append(const QString& folder, QStringView name);
  // Room for count more paths, when their number is known.
  void Reserve(std::size_t count) { entries_.reserve(entries_.size() + count); }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // REQUIRES: i < size().
  QString At(std::size_t i) const;

 private:
  struct Entry {
    std::uint64_t name_at;
    std::uint32_t name_size;
    std::uint32_t folder;
  };
  std::uint32_t FolderIndex(const QString& folder);

  std::vector<Entry> entries_;
  std::vector<char16_t> names_;
  std::vector<QString> folders_;
  QHash<QString, std::uint32_t> folder_index_;
};

}  // namespace convert

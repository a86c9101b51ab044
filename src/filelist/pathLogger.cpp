#include "filelist/pathLogger.h"

#include <unordered_set>
#include <utility>
#include <vector>

namespace filelist {
namespace {

// The run-time error number of a call on an accessor that was never set.
constexpr std::int32_t kNumberObjectNotSet = 91;

QString Key(std::int32_t n) { return u'K' + QString::number(n); }

std::shared_ptr<KeyedList>& Ensure(std::shared_ptr<KeyedList>& list) {
  if (!list) list = std::make_shared<KeyedList>();
  return list;
}

}  // namespace

void pathLogger::PathLogInit() {
  fileSystem = &file_system_source_;
  full_file_names_only_ = true;
  skipped_.clear();
  file_names_.reset();
  path_pointers_.reset();
  path_names_.reset();
  full_file_names_.reset();
}

void pathLogger::Terminate() {
  fileSystem = nullptr;
  file_names_.reset();
  path_pointers_.reset();
  path_names_.reset();
  full_file_names_.reset();
}

std::shared_ptr<KeyedList> pathLogger::fileNames() { return Ensure(file_names_); }
std::shared_ptr<KeyedList> pathLogger::pathNames() { return Ensure(path_names_); }
std::shared_ptr<KeyedList> pathLogger::pathPointers() { return Ensure(path_pointers_); }
std::shared_ptr<KeyedList> pathLogger::fullFileNames() { return Ensure(full_file_names_); }

QString pathLogger::EnsureTrailingBackslash(const QString& p) {
  return folder_paths::WithTrailingSeparator(p);
}

wharfline::Status pathLogger::Increase(std::int32_t& counter, const char* name) const {
  if (counter >= counter_limit_) {
    return wharfline::Status::Overflow(
        "pathLogger", std::string(name) + " passed " + std::to_string(counter_limit_));
  }
  ++counter;
  return wharfline::Status::OK();
}

wharfline::Status pathLogger::LogPath(const QString& path) {
  if (fileSystem == nullptr) {
    return wharfline::Status::WithNumber(wharfline::Status::Code::kInvalidArgument,
                                         kNumberObjectNotSet,
                                         "pathLogger: LogPath called before PathLogInit");
  }
  if (!fileSystem->FolderExists(path)) return wharfline::Status::OK();

  const QChar separator = folder_paths::SeparatorFor(path);
  std::int32_t i = 1;
  std::int32_t j = 1;
  fileCounter = 1;
  KeyedList& path_names = *Ensure(path_names_);
  if (wharfline::Status s = path_names.Add(QStringLiteral("K0"), EnsureTrailingBackslash(path));
      !s.ok()) {
    return s;
  }

  // Folders already queued, by identity: a link back to one of them is not queued again.
  std::unordered_set<FolderId, FolderIdHash> seen;

  // A folder that cannot be opened or listed is passed over and noted; the walk goes on with
  // the next one, so one unreadable folder does not hide the rest of the tree.
  const auto skip = [this, &i](wharfline::Status failure) {
    skipped_.push_back(std::move(failure));
    return Increase(i, "folder position");
  };
  while (i <= j) {
    // pathNames is the work list: position i is the folder to visit now.
    wharfline::Result<KeyedList::Value> item = path_names.Item(i);
    if (!item) return item.error();
    const QString cur = std::get<QString>(*item);
    wharfline::Result<std::unique_ptr<Folder>> opened = fileSystem->Open(cur);
    if (!opened) {
      if (wharfline::Status s = skip(opened.error()); !s.ok()) return s;
      continue;
    }
    Folder& folder = **opened;
    // Every other folder's identity was noted when it was queued.
    if (i == 1) {
      wharfline::Result<FolderId> id = folder.Id();
      if (!id) {
        if (wharfline::Status s = skip(id.error()); !s.ok()) return s;
        continue;
      }
      seen.insert(*id);
    }

    wharfline::Result<std::vector<SubFolderEntry>> sub_folders = folder.SubFolders();
    if (!sub_folders) {
      if (wharfline::Status s = skip(sub_folders.error()); !s.ok()) return s;
      continue;
    }
    for (const SubFolderEntry& sub : *sub_folders) {
      if (!seen.insert(sub.id).second) continue;
      if (wharfline::Status s = Increase(j, "folder count"); !s.ok()) return s;
      QString entry = cur + sub.name + separator;
      if (wharfline::Status s = path_names.Add(Key(j), std::move(entry)); !s.ok()) return s;
    }

    // Both listings come from one reading of the folder (see Folder), not from a second open.
    wharfline::Result<std::vector<QString>> files = folder.Files();
    if (!files) {
      if (wharfline::Status s = skip(files.error()); !s.ok()) return s;
      continue;
    }
    for (const QString& name : *files) {
      const QString key = Key(fileCounter);
      if (full_file_names_only_ && file_sink_) {
        if (wharfline::Status s = file_sink_(cur, name); !s.ok()) return s;
      } else if (full_file_names_only_) {
        if (wharfline::Status s = Ensure(full_file_names_)->Add(key, cur + name); !s.ok()) {
          return s;
        }
      } else {
        if (wharfline::Status s = Ensure(file_names_)->Add(key, name); !s.ok()) return s;
        if (wharfline::Status s = Ensure(full_file_names_)->Add(key, cur + name); !s.ok()) {
          return s;
        }
        if (wharfline::Status s = Ensure(path_pointers_)->Add(key, i); !s.ok()) return s;
      }
      if (wharfline::Status s = Increase(fileCounter, "file counter"); !s.ok()) return s;
    }
    if (wharfline::Status s = Increase(i, "folder position"); !s.ok()) return s;
  }
  return wharfline::Status::OK();
}

}  // namespace filelist

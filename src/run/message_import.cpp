#include "run/message_import.h"

#include <cstring>

#include "base/tags.h"
#include "mime/importer.h"
#include "run/registry_paths.h"
#include "run/row_source.h"

namespace convert {

wharfline::Result<store::FolderRef> FolderAtPath(store::Store& store, const QString& path) {
  store::FolderRef folder = store.TopFolder();
  if (path.isEmpty()) return folder;
  for (const QString& name : path.split(u'\\')) {
    wharfline::Result<store::FolderRef> child = store.Child(folder, name);
    if (!child) {
      return wharfline::Status::NotFound((QStringLiteral("\\") + path).toStdString(),
                                         "no folder named " + name.toStdString());
    }
    folder = *child;
  }
  return folder;
}

std::size_t MessageSieve::IdentityHash::operator()(
    const std::array<std::uint8_t, 32>& identity) const {
  std::size_t hash = 0;
  std::memcpy(&hash, identity.data(), sizeof hash);  // a digest's bytes are hashed already
  return hash;
}

FileFate MessageSieve::Judge(ReadMessage& message, std::int32_t* first_row) const {
  if (options_.sent_from || options_.sent_before) {
    const mail::PropValue* sent =
        mail::FindProperty(message.content.props, mail::tag::kClientSubmitTime);
    if (const auto* time = sent ? std::get_if<mail::FileTime>(sent) : nullptr) {
      if (options_.sent_from && time->ticks < options_.sent_from->ticks) {
        return FileFate::kOutsideDates;
      }
      if (options_.sent_before && time->ticks >= options_.sent_before->ticks) {
        return FileFate::kOutsideDates;
      }
    }
  }
  if (options_.skip_duplicates) {
    message.identity = mime::IdentityOf(message.content, message.header_date);
    if (auto seen = stored_.find(message.identity); seen != stored_.end()) {
      *first_row = seen->second;
      return FileFate::kDuplicate;
    }
  }
  return FileFate::kStored;
}

void MessageSieve::Stored(const ReadMessage& message, std::int32_t row) {
  if (options_.skip_duplicates) stored_.emplace(message.identity, row);
}

QString ImportMessage(RowSource& rows, std::int32_t row, RunState& state, MessageFiles& files,
                      MessageSieve& sieve, const QString& previous_folder,
                      std::vector<FileFailure>& failures, std::vector<FileFailure>& notes,
                      FileFate* fate, std::int32_t* first_row) {
  *fate = FileFate::kFailed;
  QString relative_folder = previous_folder;
  // The row's text exactly as listed: blanks at either end are part of a name where the
  // system allows them.
  wharfline::Result<QString> path = rows.RowText(row);
  if (!path) {
    failures.push_back(FileFailure{QStringLiteral("row %1").arg(row + 1), FailureText(path.error())});
    return relative_folder;
  }
  if (wharfline::Result<QString> folder = registry::RelativeFolderOf(*path)) {
    relative_folder = *folder;
  }
  const auto fail = [&](const wharfline::Status& why) {
    failures.push_back(FileFailure{*path, FailureText(why)});
    return relative_folder;
  };
  if (!state.newStore) return fail(wharfline::Status::InvalidArgument("import", "no store"));
  store::Store& store = *state.newStore;

  const wharfline::Result<store::FolderRef> folder = FolderAtPath(store, relative_folder);
  if (!folder) return fail(folder.error());
  wharfline::Result<ReadMessage> read = files.Read(*path);
  if (!read) return fail(read.error());
  if (const FileFate judged = sieve.Judge(*read, first_row); judged != FileFate::kStored) {
    *fate = judged;
    return relative_folder;
  }
  if (sieve.options().keep_state) mail::ApplyMessageState(read->content, read->state);
  if (sieve.options().on_store) sieve.options().on_store(row, read->content);
  if (wharfline::Status added = store.AddMessage(*folder, std::move(read->content)); !added.ok()) {
    return fail(added);
  }
  *fate = FileFate::kStored;
  sieve.Stored(*read, row);
  for (const std::string& note : read->notes) {
    notes.push_back(FileFailure{*path, QString::fromStdString(note)});
  }
  return relative_folder;
}

}  // namespace convert

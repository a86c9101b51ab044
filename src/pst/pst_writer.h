// PstWriter: creates a new Unicode PST store and fills it with folders and messages.
// Messages are written to the file as they are added; folder tables, indexes and the header
// are written at each Commit(), after which the file on disk is a valid store holding
// everything added so far. Single-threaded.
//
// The file appears under its name only once the empty store is durable, so the name never
// holds a file no reader can open.
//
// Failures: a failed write or commit is sticky (every later call returns it, nothing more is
// written), and closing then leaves the file at its last commit. Bad input (an invalid
// folder, a value that does not match its type, a name collision) fails only that call and
// leaves the writer as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pst/file.h"
#include "pst/message.h"

namespace pst {

class NdbWriter;
struct EncodedProp;
class SubnodeSink;
class TableBuilder;

enum class Encoding : std::uint8_t { kNone = 0, kPermute = 1 };

struct WriterOptions {
  Encoding encoding = Encoding::kPermute;  // Outlook's default
  bool sync = true;                        // make each commit durable before its header
  // Creation and modification time for objects that bring none. Defaults to the system clock.
  std::function<FileTime()> now;
};

// A folder is named by its node id, which also makes its entry id.
using FolderId = std::uint32_t;

class PstWriter {
 public:
  // Creates `path` (never over an existing file: AlreadyExists) and commits an empty store
  // with Outlook's standard folders, named `display_name`.
  static Result<std::unique_ptr<PstWriter>> Create(FileEnv& env, const std::string& path,
                                                   std::u16string display_name,
                                                   WriterOptions options = {});
  // Abandon() when neither Close() nor Abandon() was called.
  ~PstWriter();
  PstWriter(const PstWriter&) = delete;
  PstWriter& operator=(const PstWriter&) = delete;

  // "Top of Personal Folders", where user folders go.
  FolderId RootFolder() const;
  FolderId DeletedItemsFolder() const;

  // Adds a folder under `parent` (RootFolder() or a folder added before). Fails with
  // InvalidArgument for an unknown parent or an empty name, and with AlreadyExists when a
  // sibling has the same name ignoring case.
  Result<FolderId> AddFolder(FolderId parent, std::u16string_view name);
  // The child of `parent` named `name`, ignoring case; NotFound otherwise.
  Result<FolderId> FindFolder(FolderId parent, std::u16string_view name) const;
  // Follows `names` down from RootFolder(), ignoring case; NotFound if one is missing.
  Result<FolderId> OpenFolderPath(const std::vector<std::u16string>& names) const;
  // (name, id) of each child in the order they were added.
  std::vector<std::pair<std::u16string, FolderId>> Children(FolderId parent) const;
  Result<std::u16string> FolderName(FolderId folder) const;
  std::uint32_t MessageCount(FolderId folder) const;

  // Writes one message into `folder`. The message's own flags are kept except the "unsent"
  // bit, which is cleared; the attachment bit follows its attachments. Returns the
  // message's node id.
  Result<std::uint32_t> AddMessage(FolderId folder, const MessageContent& message);

  // Makes everything added so far part of the store on disk. Its cost grows with the size
  // of the store (both B-trees are rewritten; a changed folder's contents table only at its
  // end), so callers commit at intervals (every few thousand messages or seconds), not after
  // each message.
  Status Commit();
  // Final commit, then closes the file. When that fails, the file is left at its last commit
  // as Abandon() leaves it. Later calls fail.
  Status Close();
  // Closes the file at its last commit, leaving out whatever was added since; a file that
  // never had a commit is removed. Later calls fail.
  Status Abandon();
  // OK while the store can take more; otherwise the failure that stopped it (sticky).
  const Status& status() const { return failure_; }

  const std::u16string& display_name() const { return display_name_; }
  // The store's 16-byte record key (its provider uid), and its entry id.
  Bytes RecordKey() const;
  Bytes StoreEntryId() const;
  // The entry id of a folder or message: 4 zero bytes, the record key, the node id.
  Bytes EntryId(std::uint32_t nid) const;
  // Messages the file holds: those of the last commit whose header reached the file. After a
  // failure this is what readers find in the file once it is closed.
  std::uint64_t committed_messages() const { return committed_messages_; }
  std::uint64_t file_size() const;
  // At most the size the file would have if `message` were added and the store then closed.
  // Generous by a few kilobytes a message, and by up to a span (248 KiB) a store.
  std::uint64_t ClosedSizeWith(const MessageContent& message) const;

 private:
  struct Folder {
    std::uint32_t nid = 0;
    std::uint32_t parent = 0;
    std::u16string name;
    std::u16string container_class;
    bool search = false;  // the spam search folder: a search folder node without tables
    std::vector<std::uint32_t> children;
    std::uint32_t content_count = 0;
    std::uint32_t unread_count = 0;
    // The contents table, written as its rows come, and the values too large for its heap.
    std::unique_ptr<TableBuilder> contents;
    std::unique_ptr<SubnodeSink> contents_values;
    bool dirty_pc = true, dirty_hierarchy = true, dirty_contents = true, assoc_written = false;
    std::vector<std::uint64_t> pc_blocks, hierarchy_blocks, contents_blocks;
  };
  struct NamedKey {
    Guid guid;
    bool is_string;
    std::uint32_t lid;
    std::u16string name;
    auto operator<=>(const NamedKey&) const = default;
  };

  PstWriter(std::unique_ptr<NdbWriter> ndb, std::u16string display_name, WriterOptions options);
  void BuildStandardFolders();
  Folder* FindFolderById(FolderId id);
  const Folder* FindFolderById(FolderId id) const;
  FileTime Now() const;
  Status WriteFixedNodes();
  Status WriteNameMap();
  Status WriteFolder(Folder& f);
  Status WriteTable(std::uint32_t nid, const std::vector<PropTag>& columns,
                    const std::vector<std::pair<std::uint32_t, std::vector<EncodedProp>>>& rows,
                    std::vector<std::uint64_t>* blocks);
  Status WritePcNode(std::uint32_t nid, std::uint32_t parent, std::vector<EncodedProp> props,
                     std::vector<std::uint64_t>* blocks);
  Result<std::uint16_t> NamedPropertyId(const NamedProperty& p);
  // Records the first failure that stops the store and returns it.
  Status Fail(Status s);
  // Commit(), or with `last` the commit that leaves no room behind for more.
  Status Commit(bool last);
  Status WriteMessageObject(const MessageContent& m, std::uint32_t nid, SubnodeSink& out,
                            std::vector<EncodedProp>* final_props, int depth);

  std::unique_ptr<NdbWriter> ndb_;
  std::u16string display_name_;
  WriterOptions options_;
  Bytes record_key_;
  std::map<FolderId, Folder> folders_;
  std::map<NamedKey, std::uint16_t> named_;  // name -> index (NPID - 0x8000)
  std::vector<NamedKey> named_order_;
  bool name_map_dirty_ = true;
  std::vector<std::uint64_t> name_map_blocks_;
  bool fixed_written_ = false;
  bool closed_ = false;
  Status failure_;
  std::uint64_t added_messages_ = 0;
  std::uint64_t committed_messages_ = 0;
  // What writing every folder's contents table as it stands takes at most, kept as rows
  // are added: what a size bound needs without going through the folders.
  std::uint64_t contents_bound_ = 0;
  // The folder's contents table, made when first needed.
  TableBuilder& Contents(Folder& f);
};

}  // namespace pst

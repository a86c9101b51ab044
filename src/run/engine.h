// What a conversion run works with: the stores it makes and the message files it reads. The
// front ends build the real ones (PstEngine) in main() and keep them as long as the window or
// the command; tests hand in their own.
#pragma once

#include "pst/file.h"
#include "run/message_files.h"
#include "run/message_prefetch.h"
#include "store/pst_store.h"
#include "store/store.h"

namespace convert {

struct Engine {
  store::Stores& stores;
  MessageFiles& files;
  // The file layer a run's report is written through, beside the store or where asked.
  pst::FileEnv& reports = pst::DefaultFileEnv();
};

// Stores written by our PST writer, message files read ahead and imported by the MIME
// importer.
class PstEngine {
 public:
  // The store files are written through env (the real file system unless a test says
  // otherwise), which must outlive this.
  explicit PstEngine(store::PstStoreOptions options = {}, PrefetchOptions prefetch = {},
                     pst::FileEnv& env = pst::DefaultFileEnv())
      : files_(prefetch), stores_(env, options), env_(env) {}
  PstEngine(const PstEngine&) = delete;
  PstEngine& operator=(const PstEngine&) = delete;

  Engine engine() { return Engine{stores_, files_, env_}; }

 private:
  PrefetchingMessageFiles files_;
  store::PstStores stores_;
  pst::FileEnv& env_;
};

}  // namespace convert

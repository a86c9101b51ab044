// The in-process mail profile and the components built on it. Logging a session on opens the
// profile; stores a session adds are created by a StoreBackend and attached under their display
// names; the automation namespace lists the same stores by display name (its folders are the
// ones IPMRootFolder gives); there is no explorer window. Removing a store detaches it and
// closes its file. main() owns the profile and the backend; both must outlive the components
// and every object they hand out. Window's thread only.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "store/mail_store.h"
#include "store/store_backend.h"

namespace store {

class MailProfile {
 public:
  struct Attached {
    QString display_name;
    std::shared_ptr<BackendStore> store;
  };

  MailProfile() = default;
  MailProfile(const MailProfile&) = delete;
  MailProfile& operator=(const MailProfile&) = delete;

  void Attach(const QString& display_name, std::shared_ptr<BackendStore> store);
  // Takes store out of the profile; false when it was not attached.
  bool Detach(const BackendStore& store);
  // The first attached store with that entry ID, or empty.
  std::shared_ptr<BackendStore> FindByEntryID(const QString& entry_id) const;
  // The first attached store with that display name (letter case ignored), or empty.
  std::shared_ptr<BackendStore> FindByDisplayName(const QString& display_name) const;

  // In the order of attaching.
  const std::vector<Attached>& stores() const { return stores_; }

 private:
  std::vector<Attached> stores_;
};

// The components over a profile. The MIME message component comes from mime_factory; without
// one, CreateMimeMessage fails as for a component that is not installed.
class ProfileComponents final : public Components {
 public:
  using MimeFactory = std::function<std::shared_ptr<MimeMessage>()>;

  ProfileComponents(MailProfile& profile, StoreBackend& backend, MimeFactory mime_factory = {});

  std::shared_ptr<Session> CreateSession() override;
  std::shared_ptr<store::MapiUtils> CreateMapiUtils() override;
  std::shared_ptr<store::MimeMessage> CreateMimeMessage() override;
  std::shared_ptr<store::Application> CreateApplication() override;

 private:
  MailProfile& profile_;
  StoreBackend& backend_;
  MimeFactory mime_factory_;
};

}  // namespace store

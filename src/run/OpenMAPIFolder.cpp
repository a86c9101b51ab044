#include "run/OpenMAPIFolder.h"

namespace convert {

namespace {

// The routine's whole error policy: a failing step is skipped, and nothing is reported.
template <typename Step>
void IgnoreFailure(Step&& step) {
  try {
    step();
  } catch (const store::StoreError&) {
  }
}

}  // namespace

std::shared_ptr<store::Folder> OpenMAPIFolder(store::Components& components, const QString& path) {
  using store::Checked;
  std::shared_ptr<store::Folder> folder;
  std::shared_ptr<store::Application> application;
  std::shared_ptr<store::Namespace> name_space;

  IgnoreFailure([&] { application = components.CreateApplication(); });

  QString rest = path;
  if (rest.startsWith(QLatin1Char('\\'))) {
    rest.remove(0, 1);
  } else {
    IgnoreFailure([&] {
      folder = Checked(Checked(application, "application")->ActiveExplorer(), "explorer")
                   ->CurrentFolder();
    });
  }

  while (!rest.isEmpty()) {
    QString name;
    const qsizetype separator = rest.indexOf(QLatin1Char('\\'));
    if (separator >= 0) {
      name = rest.left(separator);
      rest.remove(0, separator + 1);
    } else {
      name = rest;
      rest.clear();
    }
    if (!folder) {
      IgnoreFailure([&] {
        name_space = Checked(application, "application")->GetNamespace(QStringLiteral("MAPI"));
        std::shared_ptr<store::Folder> found =
            Checked(Checked(name_space, "namespace")->Folders(), "folders")->Item(name);
        folder = found;
      });
    } else {
      IgnoreFailure([&] {
        std::shared_ptr<store::Folder> found = Checked(folder->Folders(), "folders")->Item(name);
        folder = found;
      });
    }
  }

  name_space.reset();
  application.reset();
  return folder;
}

}  // namespace convert

#include "shell/app_identity.h"

#include <QApplication>

#include "platform/identity.h"

static void InitResources() { Q_INIT_RESOURCE(resources); }

namespace shell {

QIcon ApplicationIcon() {
  InitResources();
  QIcon icon;
  for (int size : {16, 24, 32, 48, 256}) {
    icon.addFile(QStringLiteral(":/wharfline/icon-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

void SetApplicationIdentity() {
  QCoreApplication::setApplicationName(QString::fromUtf8(identity::kProductName));
  QCoreApplication::setOrganizationName(QString::fromUtf8(identity::kCompanyName));
  QCoreApplication::setApplicationVersion(QString::fromUtf8(identity::kVersion));
  QGuiApplication::setDesktopFileName(QStringLiteral("wharfline"));
  QApplication::setWindowIcon(ApplicationIcon());
}

}  // namespace shell

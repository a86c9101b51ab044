// The window as a person meets it: layout, texts, start-up state, keyboard, and the add, clear
// and exit commands walked through the scripted platform. Runs on the offscreen platform.
#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QHeaderView>
#include <QFontMetrics>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <functional>
#include <memory>
#include <stdexcept>

#include "base/native_path.h"
#include "run/conversion_run.h"
#include "support/memory_store.h"
#include "support/pst_fake_files.h"
#include "memory_file_system.h"
#include "shell/app_identity.h"
#include "shell/frmStep1.h"
#include "support/scripted_platform.h"

namespace {

// The layout as designed, in twips; kept here apart from the window's own table.
struct Expected {
  const char* name;
  int left, top, width, height;
};
const Expected kDesigned[] = {
    {"Shape2", -120, 0, 8415, 855},       {"lblTitle", 240, 120, 6255, 375},
    {"lblCopyright", 240, 480, 6135, 255}, {"cmdAdd", 240, 960, 1815, 375},
    {"CmdAddFolder", 2400, 960, 2775, 375}, {"cmdClear1", 6240, 960, 1695, 375},
    {"lblCount1", 270, 1560, 7695, 255},  {"grdFiles1", 240, 1800, 7695, 1575},
    {"FrameConversion", 240, 3480, 7695, 1815}, {"LblCurrentDBX", 120, 240, 7455, 255},
    {"LblProgessCurrent", 1800, 600, 5775, 255}, {"Label2", 120, 960, 1695, 255},
    {"ProgressBar2", 1800, 960, 5775, 255}, {"Label1", 120, 1320, 1695, 255},
    {"ProgressBar1", 1800, 1320, 5775, 255}, {"CmdExtractDBX", 2880, 5520, 2415, 435},
    {"Shape1", 0, 6120, 8415, 855},       {"Picture3", 240, 6240, 7695, 495},
    {"cmdEnd", 6360, 0, 1335, 375},
};

const QChar kNul(u'\0');

// The disk the window writes reports to, in memory; a test can make it fail.
class ReportDisk final : public pst::FileEnv {
 public:
  pst::testing::MemFileEnv files;
  // When set, every call goes through it (it wraps files) instead.
  std::unique_ptr<pst::testing::FaultFileEnv> faults;

  wharfline::Result<std::unique_ptr<pst::WritableFile>> CreateExclusive(
      const std::string& path) override {
    return Env().CreateExclusive(path);
  }
  wharfline::Status RenameNoReplace(const std::string& from, const std::string& to) override {
    return Env().RenameNoReplace(from, to);
  }
  wharfline::Status Remove(const std::string& path) override { return Env().Remove(path); }
  wharfline::Status SyncFolder(const std::string& folder) override {
    return Env().SyncFolder(folder);
  }

 private:
  pst::FileEnv& Env() { return faults ? static_cast<pst::FileEnv&>(*faults) : files; }
};

}  // namespace

class FrmStep1Test : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void everyControlSitsWhereItWasDrawn();
  void texts_data();
  void texts();
  void fontsColoursAndBands();
  void startsEmptyFixedAndCentred();
  void noTextIsCut();
  void tabFollowsTheDesignedOrder();
  void accessKeys();
  void addFilesFillsTheGridAndEnablesConvert();
  void addFilesFailuresAreReported();
  void clearAsksFirst();
  void exitAsksAndCloseDoesNot();
  void identityAndIcon();
  void addFolderAddsMessageFilesBelowIt();
  void convertRunsOverTheListAndShowsProgress();
  void convertSaysWhenTheStoreWentOnInNewFiles();
  void convertWithNothingListedCreatesNothing();
  void convertReportsOutlookErrorsAndFailedFiles();
  void convertWritesEveryFileNotImportedToTheReport();
  void oneRunAtATime();
  void writesScreenshot();

 private:
  template <typename T = QWidget>
  T* Find(const char* name) {
    T* widget = window_->findChild<T*>(QString::fromLatin1(name));
    if (!widget) qFatal("no control %s", name);
    return widget;
  }
  int Px(int twips) const {
    const double dpi = window_->screen()->logicalDotsPerInchX();
    return qRound(twips * dpi / 1440.0);
  }
  QStringList GridRows() {
    QStringList rows;
    auto* model = window_->grdFiles1->model();
    for (int r = 0; r < model->rowCount(); ++r) rows << model->index(r, 0).data().toString();
    return rows;
  }

  std::unique_ptr<testing_support::ScriptedPlatform> platform_;
  std::unique_ptr<testing_support::MemoryEngine> mail_;
  std::unique_ptr<ReportDisk> disk_;  // where reports go
  std::unique_ptr<wharfline_test::MemoryFileSystem> fs_;
  std::unique_ptr<frmStep1> window_;
};

void FrmStep1Test::init() {
  platform_ = std::make_unique<testing_support::ScriptedPlatform>();
  mail_ = std::make_unique<testing_support::MemoryEngine>();
  fs_ = std::make_unique<wharfline_test::MemoryFileSystem>();
  disk_ = std::make_unique<ReportDisk>();
  window_ = std::make_unique<frmStep1>(
      platform_->Seams(), convert::Engine{mail_->stores(), mail_->files(), *disk_}, *fs_);
  window_->show();
  QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  window_->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(window_.get()));
}

void FrmStep1Test::cleanup() {
  window_.reset();
  fs_.reset();
  disk_.reset();
  mail_.reset();
  platform_.reset();
}

void FrmStep1Test::everyControlSitsWhereItWasDrawn() {
  QCOMPARE(window_->size(), QSize(Px(8145), Px(6750)));
  if (window_->screen()->logicalDotsPerInchX() == 96) QCOMPARE(window_->size(), QSize(543, 450));
  for (const Expected& e : kDesigned) {
    QWidget* w = Find(e.name);
    QCOMPARE(w->geometry(), QRect(Px(e.left), Px(e.top), Px(e.width), Px(e.height)));
  }
  QCOMPARE(Find("LblCurrentDBX")->parentWidget(), Find("FrameConversion"));
  QCOMPARE(Find("ProgressBar1")->parentWidget(), Find("FrameConversion"));
  QCOMPARE(Find("cmdEnd")->parentWidget(), Find("Picture3"));
  // The exit button's right edge meets the panel's.
  QCOMPARE(Find("cmdEnd")->geometry().right(), Find("Picture3")->width() - 1);
}

void FrmStep1Test::texts_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("text");
  QTest::newRow("cmdAdd") << "cmdAdd" << "Add EML File(s)...";
  QTest::newRow("CmdAddFolder") << "CmdAddFolder" << "Add Folder having EML File(s)...";
  QTest::newRow("cmdClear1") << "cmdClear1" << "Clear File(s)...";
  QTest::newRow("CmdExtractDBX") << "CmdExtractDBX" << "Convert &Messages";
  QTest::newRow("cmdEnd") << "cmdEnd" << "E&xit";
  QTest::newRow("lblTitle") << "lblTitle" << "Pellimor Wharfline";
  QTest::newRow("lblCount1") << "lblCount1" << "0 files";
  QTest::newRow("LblCurrentDBX") << "LblCurrentDBX" << "Converting Messages...";
  QTest::newRow("LblProgessCurrent") << "LblProgessCurrent" << "Message 0 (of 0)";
  QTest::newRow("Label2") << "Label2" << "Current File Progress : ";
  QTest::newRow("Label1") << "Label1" << "Overall Progress        : ";
}

void FrmStep1Test::texts() {
  QFETCH(QString, name);
  QFETCH(QString, text);
  QWidget* w = Find(name.toLatin1().constData());
  if (auto* button = qobject_cast<QPushButton*>(w)) {
    QCOMPARE(button->text(), text);
  } else {
    QCOMPARE(qobject_cast<QLabel*>(w)->text(), text);
  }
  QCOMPARE(window_->windowTitle(), QStringLiteral("Pellimor Wharfline (.eml & .emlx)"));
  QCOMPARE(window_->FrameConversion->title(), QStringLiteral("Details"));
  const QString notice = window_->lblCopyright->text();
  QVERIFY(notice.contains(QStringLiteral("Pellimor Software")));
  QVERIFY(notice.contains(QStringLiteral("20")));
  QVERIFY(notice.contains(u'@'));
}

void FrmStep1Test::fontsColoursAndBands() {
  const QFont control = window_->cmdAdd->font();
  const QFont title = window_->lblTitle->font();
  if (QFontDatabase::families().contains(QStringLiteral("Tahoma"))) {
    QCOMPARE(QFontInfo(control).family(), QStringLiteral("Tahoma"));
    QCOMPARE(QFontInfo(title).family(), QStringLiteral("Tahoma"));
    QCOMPARE(control.pointSizeF(), 8.25);
  }
  QCOMPARE(title.pointSizeF(), 14.25);
  QCOMPARE(title.weight(), QFont::Bold);
  QCOMPARE(window_->grdFiles1->font().pointSizeF(), control.pointSizeF());

  QCOMPARE(window_->lblTitle->palette().color(QPalette::Window), QColor(255, 255, 255));
  QCOMPARE(window_->lblTitle->palette().color(QPalette::WindowText), QColor(0, 0, 0));
  QCOMPARE(window_->lblCopyright->palette().color(QPalette::Window), QColor(255, 255, 255));
  QCOMPARE(window_->LblProgessCurrent->palette().color(QPalette::WindowText), QColor(0, 0, 0));
  QCOMPARE(window_->Picture3->palette().color(QPalette::Window), QColor(255, 255, 255));
  QCOMPARE(window_->Shape2->FillColor(), QColor(255, 255, 255));
  QCOMPARE(window_->Shape2->BorderColor(), QColor(128, 128, 128));
  QCOMPARE(window_->Shape1->BorderColor(), QColor(192, 192, 192));

  // What shows of the bands: Shape2 only its top and bottom lines, Shape1 its top and left.
  const QImage shot = window_->grab().toImage();
  const int w = shot.width();
  QCOMPARE(QColor(shot.pixel(w / 2, 0)), QColor(128, 128, 128));
  QCOMPARE(QColor(shot.pixel(w / 2, Px(855) - 1)), QColor(128, 128, 128));
  QCOMPARE(QColor(shot.pixel(0, Px(400))), QColor(255, 255, 255));
  QCOMPARE(QColor(shot.pixel(w - 1, Px(400))), QColor(255, 255, 255));
  QCOMPARE(QColor(shot.pixel(Px(100), Px(6120))), QColor(192, 192, 192));
  QCOMPARE(QColor(shot.pixel(0, Px(6500))), QColor(192, 192, 192));
  QCOMPARE(QColor(shot.pixel(w - 1, Px(6500))), QColor(255, 255, 255));
  QCOMPARE(QColor(shot.pixel(w / 2, shot.height() - 1)), QColor(255, 255, 255));
  // The bands lie beneath the labels and the panel.
  const QObjectList& z = window_->children();
  QVERIFY(z.indexOf(window_->Shape2) < z.indexOf(window_->lblTitle));
  QVERIFY(z.indexOf(window_->Shape1) < z.indexOf(window_->Picture3));
}

void FrmStep1Test::startsEmptyFixedAndCentred() {
  QCOMPARE(window_->lblCount1->text(), QStringLiteral("0 files"));
  QVERIFY(!window_->CmdExtractDBX->isEnabled());
  QCOMPARE(GridRows(), QStringList{QString()});
  QCOMPARE(window_->grid().ColWidth(0), 50000);
  QCOMPARE(window_->grdFiles1->columnWidth(0), Px(50000));
  QVERIFY(window_->grdFiles1->horizontalHeader()->isHidden());
  QVERIFY(window_->grdFiles1->verticalHeader()->isHidden());
  for (auto* bar : {window_->ProgressBar1, window_->ProgressBar2}) {
    QCOMPARE(bar->Min(), 0.0f);
    QCOMPARE(bar->Max(), 100.0f);
    QCOMPARE(bar->Value(), 0.0f);
  }

  const Qt::WindowFlags flags = window_->windowFlags();
  QVERIFY(flags & Qt::WindowMinimizeButtonHint);
  QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
  QVERIFY(flags & Qt::WindowCloseButtonHint);
  QCOMPARE(window_->minimumSize(), window_->maximumSize());
  QVERIFY(!window_->acceptDrops());
  QVERIFY(!window_->grdFiles1->acceptDrops());

  const QPoint centre = window_->screen()->availableGeometry().center();
  QVERIFY((window_->frameGeometry().center() - centre).manhattanLength() <= 2);
  QCOMPARE(QApplication::focusWidget(), window_->cmdAdd);
}

void FrmStep1Test::noTextIsCut() {
  for (QLabel* label : window_->findChildren<QLabel*>()) {
    QVERIFY2(QFontMetrics(label->font()).horizontalAdvance(label->text()) <= label->width(),
             qPrintable(label->objectName()));
  }
  for (QPushButton* button : window_->findChildren<QPushButton*>()) {
    const QString shown = QString(button->text()).remove(u'&');
    QVERIFY2(QFontMetrics(button->font()).horizontalAdvance(shown) + 4 <= button->width(),
             qPrintable(button->objectName()));
  }
}

void FrmStep1Test::tabFollowsTheDesignedOrder() {
  window_->CmdExtractDBX->setEnabled(true);
  window_->cmdAdd->setFocus();
  const QStringList expected = {"cmdClear1", "CmdAddFolder", "grdFiles1", "CmdExtractDBX",
                                "cmdEnd", "cmdAdd"};
  for (const QString& name : expected) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget()->objectName(), name);
  }
  for (QWidget* w : {static_cast<QWidget*>(window_->lblCount1), static_cast<QWidget*>(window_->FrameConversion),
                     static_cast<QWidget*>(window_->ProgressBar1), window_->Picture3}) {
    QCOMPARE(w->focusPolicy(), Qt::NoFocus);
  }
}

void FrmStep1Test::accessKeys() {
  QSignalSpy convert(window_->CmdExtractDBX, &QPushButton::clicked);
  // A pressed access key clicks its button after a short animation, hence the waits.
  QTest::keyClick(window_.get(), Qt::Key_M, Qt::AltModifier);
  QTest::qWait(300);
  QCOMPARE(convert.count(), 0);  // disabled at start
  window_->CmdExtractDBX->setEnabled(true);
  QTest::keyClick(window_.get(), Qt::Key_M, Qt::AltModifier);
  QTRY_COMPARE(convert.count(), 1);
  QTRY_COMPARE(platform_->dialogs.msgboxes.size(), size_t{1});  // nothing to convert

  platform_->dialogs.msgbox_answers = {platform::kResultNo};
  QTest::keyClick(window_.get(), Qt::Key_X, Qt::AltModifier);
  QTRY_COMPARE(platform_->dialogs.msgboxes.size(), size_t{2});
  QCOMPARE(platform_->dialogs.msgboxes[1].text, QStringLiteral("Are you sure you want to exit now?"));
  QVERIFY(platform_->exit.codes.empty());
}

void FrmStep1Test::addFilesFillsTheGridAndEnablesConvert() {
  platform_->dialogs.AnswerOpen(QString());  // cancel
  QTest::mouseClick(window_->cmdAdd, Qt::LeftButton);
  QCOMPARE(GridRows(), QStringList{QString()});
  QVERIFY(!window_->CmdExtractDBX->isEnabled());

  platform_->dialogs.AnswerOpen(QStringLiteral("/home/ann/Mail/one.eml"));
  QTest::mouseClick(window_->cmdAdd, Qt::LeftButton);
  QCOMPARE(window_->lblCount1->text(), QStringLiteral("1 files"));
  QVERIFY(window_->CmdExtractDBX->isEnabled());
  QCOMPARE(window_->grdFiles1->columnWidth(0), Px(10000));

  platform_->dialogs.AnswerOpen(QStringLiteral("/") + kNul + "a.eml" + kNul + "one.eml");
  QTest::mouseClick(window_->cmdAdd, Qt::LeftButton);
  QCOMPARE(GridRows(), (QStringList{"/home/ann/Mail/one.eml", "/a.eml", "/one.eml"}));
  QCOMPARE(window_->lblCount1->text(), QStringLiteral("3 files"));
  // The last row added is the grid's current cell.
  QTRY_COMPARE(window_->grdFiles1->currentIndex().row(), 2);
  QVERIFY(platform_->dialogs.msgboxes.empty());

  // A path wider than the grid: the grid scrolls sideways far enough to show all of it.
  const QString deep = QStringLiteral("/home/ann/") + QString(300, u'x') + QStringLiteral("/z.eml");
  platform_->dialogs.AnswerOpen(deep);
  QTest::mouseClick(window_->cmdAdd, Qt::LeftButton);
  QApplication::processEvents();
  const int needed = window_->grdFiles1->fontMetrics().horizontalAdvance(deep);
  QVERIFY(window_->grdFiles1->columnWidth(0) >= needed);
  QVERIFY(window_->grdFiles1->horizontalScrollBar()->maximum() >=
          needed - window_->grdFiles1->viewport()->width());
}

void FrmStep1Test::addFilesFailuresAreReported() {
  platform_->dialogs.AnswerOpenFailure(20476, QStringLiteral("too small"), 2500);
  QTest::mouseClick(window_->cmdAdd, Qt::LeftButton);
  QCOMPARE(platform_->dialogs.msgboxes.size(), size_t{1});
  QCOMPARE(platform_->dialogs.msgboxes[0].text, QStringLiteral("Please select only 2500 files at a time"));
  QVERIFY(!window_->CmdExtractDBX->isEnabled());
  QCOMPARE(window_->lblCount1->text(), QStringLiteral("0 files"));

  window_->grid().SetRowLimit(1);
  platform_->dialogs.AnswerOpen(QStringLiteral("/m") + kNul + "a.eml" + kNul + "b.eml" + kNul +
                                "c.eml");
  QTest::mouseClick(window_->cmdAdd, Qt::LeftButton);
  QCOMPARE(platform_->dialogs.msgboxes.size(), size_t{2});
  QCOMPARE(platform_->dialogs.msgboxes[1].text, QStringLiteral("30009:Invalid Row value"));
  QCOMPARE(platform_->dialogs.msgboxes[1].style, 48);
  QCOMPARE(platform_->dialogs.msgboxes[1].caption, QStringLiteral("Pellimor Wharfline"));
  QCOMPARE(GridRows(), QStringList{"/m/a.eml"});
  QVERIFY(window_->CmdExtractDBX->isEnabled());
}

void FrmStep1Test::clearAsksFirst() {
  QTest::mouseClick(window_->cmdClear1, Qt::LeftButton);
  QVERIFY(platform_->dialogs.msgboxes.empty());

  QVERIFY(window_->AddFileToList(QStringLiteral("/m/a.eml")).ok());
  window_->CmdExtractDBX->setEnabled(true);
  platform_->dialogs.msgbox_answers = {platform::kResultNo, platform::kResultYes};
  QTest::mouseClick(window_->cmdClear1, Qt::LeftButton);
  QCOMPARE(GridRows(), QStringList{"/m/a.eml"});
  QTest::mouseClick(window_->cmdClear1, Qt::LeftButton);
  QCOMPARE(GridRows(), QStringList{QString()});
  QCOMPARE(window_->lblCount1->text(), QStringLiteral("0 files"));
  QVERIFY(window_->CmdExtractDBX->isEnabled());  // clearing leaves it alone
  QCOMPARE(platform_->dialogs.msgboxes[0].style, 36);
}

void FrmStep1Test::exitAsksAndCloseDoesNot() {
  QVERIFY(window_->AddFileToList(QStringLiteral("/m/a.eml")).ok());
  platform_->dialogs.msgbox_answers = {platform::kResultNo, platform::kResultYes};
  QTest::mouseClick(window_->cmdEnd, Qt::LeftButton);
  QVERIFY(platform_->exit.codes.empty());
  QCOMPARE(GridRows(), QStringList{"/m/a.eml"});
  QCOMPARE(window_->lblCount1->text(), QStringLiteral("1 files"));
  QTest::mouseClick(window_->cmdEnd, Qt::LeftButton);
  QCOMPARE(platform_->exit.codes, std::vector<int>{0});
  const auto& box = platform_->dialogs.msgboxes.back();
  QCOMPARE(box.text, QStringLiteral("Are you sure you want to exit now?"));
  QCOMPARE(box.style, 36);
  QCOMPARE(box.caption, QStringLiteral("Pellimor Wharfline"));

  window_->close();
  QCOMPARE(platform_->exit.codes.size(), size_t{2});
  QCOMPARE(platform_->dialogs.msgboxes.size(), size_t{2});
}

void FrmStep1Test::identityAndIcon() {
  shell::SetApplicationIdentity();
  QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Pellimor Wharfline"));
  QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("5.06"));
  QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Pellimor Software"));
  const QIcon icon = shell::ApplicationIcon();
  for (int size : {16, 24, 32, 48, 256}) {
    QCOMPARE(icon.pixmap(size, size).size(), QSize(size, size));
  }
  QVERIFY(!window_->windowIcon().isNull());
}

void FrmStep1Test::addFolderAddsMessageFilesBelowIt() {
  fs_->AddFile(QStringLiteral("/M/a.eml"));
  fs_->AddFile(QStringLiteral("/M/note.txt"));
  fs_->AddFile(QStringLiteral("/M/sub/B.EMLX"));
  platform_->dialogs.folder_answers = {QStringLiteral("/M")};
  QTest::mouseClick(window_->CmdAddFolder, Qt::LeftButton);
  QCOMPARE(platform_->dialogs.folder_titles, QStringList{"Choose Source Folder..."});
  QCOMPARE(GridRows(), (QStringList{"/M/a.eml", "/M/sub/B.EMLX"}));
  QCOMPARE(window_->lblCount1->text(), QStringLiteral("2 files"));
  QVERIFY(window_->CmdExtractDBX->isEnabled());
  QCOMPARE(platform_->dialogs.msgboxes.back().text, QStringLiteral("2 Files Added to List."));
  QCOMPARE(platform_->dialogs.msgboxes.back().style, 0);
  QVERIFY(!platform_->pointer.hourglass);

  fs_->AddFolder(QStringLiteral("/Empty"));
  platform_->dialogs.folder_answers = {QStringLiteral("/Empty")};
  QTest::mouseClick(window_->CmdAddFolder, Qt::LeftButton);
  QCOMPARE(platform_->dialogs.msgboxes.back().text, QStringLiteral("0 Files Added to List."));
  QVERIFY(!window_->CmdExtractDBX->isEnabled());
  QCOMPARE(GridRows().size(), 2);
}

void FrmStep1Test::convertSaysWhenTheStoreWentOnInNewFiles() {
  // At 20 GB a message, two fit below the default 50 GB limit.
  mail_->stores().message_size = std::uint64_t{20} << 30;
  fs_->AddFolder(QStringLiteral("/out"));
  for (const char* path : {"/m/a.eml", "/m/b.eml", "/m/c.eml", "/m/d.eml", "/m/e.eml"}) {
    QVERIFY(window_->AddFileToList(QString::fromLatin1(path)).ok());
  }
  window_->CmdExtractDBX->setEnabled(true);
  platform_->dialogs.folder_answers = {QStringLiteral("/out")};
  QTest::mouseClick(window_->CmdExtractDBX, Qt::LeftButton);

  QCOMPARE(mail_->stores().stores().size(), size_t{3});
  QCOMPARE(platform_->dialogs.msgboxes.size(), size_t{1});
  const auto& box = platform_->dialogs.msgboxes[0];
  QCOMPARE(box.text, QStringLiteral("Imported 5 of 5 files.\r\n"
                                    "The messages fill 3 stores of at most 50 GB each:\r\n"
                                    "/out/PellimorEMLMessages7.12.26 1.41.31.pst\r\n"
                                    "/out/PellimorEMLMessages7.12.26 1.41.31 (2).pst\r\n"
                                    "/out/PellimorEMLMessages7.12.26 1.41.31 (3).pst"));
  QCOMPARE(box.style, 64);  // information: nothing went wrong
}

void FrmStep1Test::convertRunsOverTheListAndShowsProgress() {
  fs_->AddFolder(QStringLiteral("/out"));
  for (const char* path : {"/home/ann/Mail/a.eml", "/home/ann/Mail/2010/b.emlx", "/c.eml"}) {
    QVERIFY(window_->AddFileToList(QString::fromLatin1(path)).ok());
  }
  window_->CmdExtractDBX->setEnabled(true);
  platform_->dialogs.folder_answers = {QStringLiteral("/out")};
  QTest::mouseClick(window_->CmdExtractDBX, Qt::LeftButton);

  QCOMPARE(platform_->dialogs.folder_titles, QStringList{"Choose Folder to Save..."});
  QVERIFY(platform_->dialogs.msgboxes.empty());  // everything imported: no closing message
  QCOMPARE(window_->run_state().outputFolder, QStringLiteral("/out/"));
  const auto& stores = mail_->stores().stores();
  QCOMPARE(stores.size(), size_t{1});
  QCOMPARE(stores[0]->path, QStringLiteral("/out/PellimorEMLMessages7.12.26 1.41.31.pst"));
  QVERIFY(stores[0]->closed);
  QCOMPARE(window_->FrameConversion->title(), QStringLiteral("Details : Converting - (3 of 3) file(s)"));
  QCOMPARE(window_->LblCurrentDBX->text(), QStringLiteral("Importing Messages... from ()"));
  QCOMPARE(window_->ProgressBar1->Value(), 100.0f);
  QCOMPARE(window_->ProgressBar2->Value(), 0.0f);
  QCOMPARE(window_->LblProgessCurrent->text(), QStringLiteral("Message 0 (of 0)"));
  QVERIFY(!window_->CmdExtractDBX->isEnabled());
  QVERIFY(window_->cmdAdd->isEnabled());
  QVERIFY(window_->cmdClear1->isEnabled());
  QVERIFY(!window_->run_state().newStore);
  // The grid's highlight followed the run to its last row.
  QTRY_COMPARE(window_->grdFiles1->currentIndex().row(), 2);

  // A drive root or "/" is used as it is.
  fs_->AddFolder(QStringLiteral("/"));
  window_->CmdExtractDBX->setEnabled(true);
  platform_->dialogs.folder_answers = {QStringLiteral("/")};
  platform_->clock.now = platform_->clock.now.addSecs(1);
  QTest::mouseClick(window_->CmdExtractDBX, Qt::LeftButton);
  QCOMPARE(stores.back()->path, QStringLiteral("/PellimorEMLMessages7.12.26 1.41.32.pst"));

  // Cancel asks nothing more and changes nothing.
  window_->CmdExtractDBX->setEnabled(true);
  QTest::mouseClick(window_->CmdExtractDBX, Qt::LeftButton);
  QCOMPARE(stores.size(), size_t{2});
  QVERIFY(window_->CmdExtractDBX->isEnabled());
}

void FrmStep1Test::convertWithNothingListedCreatesNothing() {
  QVERIFY(window_->AddFileToList(QStringLiteral("/m/a.eml")).ok());
  window_->CmdExtractDBX->setEnabled(true);
  platform_->dialogs.msgbox_answers = {platform::kResultYes};
  QTest::mouseClick(window_->cmdClear1, Qt::LeftButton);
  QVERIFY(window_->CmdExtractDBX->isEnabled());  // clearing leaves it as it was
  QTest::mouseClick(window_->CmdExtractDBX, Qt::LeftButton);
  QCOMPARE(platform_->dialogs.msgboxes.size(), size_t{2});
  QCOMPARE(platform_->dialogs.msgboxes[1].text,
           QStringLiteral("There are no files in the list to convert."));
  QCOMPARE(platform_->dialogs.msgboxes[1].style, 64);
  QVERIFY(platform_->dialogs.folder_titles.isEmpty());
  QVERIFY(mail_->stores().stores().empty());
}

void FrmStep1Test::convertReportsOutlookErrorsAndFailedFiles() {
  fs_->AddFolder(QStringLiteral("/out"));
  QVERIFY(window_->AddFileToList(QStringLiteral("/m/a.eml")).ok());
  QVERIFY(window_->AddFileToList(QStringLiteral("/m/b.eml")).ok());
  window_->CmdExtractDBX->setEnabled(true);

  mail_->recorder().FailNth(QStringLiteral("Stores.Create"), 1);
  platform_->dialogs.folder_answers = {QStringLiteral("/out")};
  QTest::mouseClick(window_->CmdExtractDBX, Qt::LeftButton);
  QCOMPARE(platform_->dialogs.msgboxes.size(), size_t{1});
  const auto& error = platform_->dialogs.msgboxes[0];
  QCOMPARE(error.caption, QStringLiteral("Outlook Error"));
  QCOMPARE(error.style, 64);
  QVERIFY(error.text.startsWith(QStringLiteral("Outlook Session Creation Error !\r\n")));
  QVERIFY(error.text.endsWith(QStringLiteral("\r\nCause: 57:store: Injected fault")));
  QVERIFY(window_->CmdExtractDBX->isEnabled());  // a run that stopped early leaves it on
  QVERIFY(window_->cmdAdd->isEnabled());

  mail_->recorder().FailNth(QStringLiteral("Files.Read"), 2);
  platform_->dialogs.folder_answers = {QStringLiteral("/out")};
  QTest::mouseClick(window_->CmdExtractDBX, Qt::LeftButton);
  QCOMPARE(platform_->dialogs.msgboxes.size(), size_t{2});
  const auto& summary = platform_->dialogs.msgboxes[1];
  QCOMPARE(summary.style, 48);
  QCOMPARE(summary.caption, QStringLiteral("Pellimor Wharfline"));
  QCOMPARE(summary.text, QStringLiteral("Imported 1 of 2 files.\r\nThis file could not be imported:"
                                        "\r\n/m/b.eml - 57:store: Injected fault"
                                        "\r\nThe full report is in "
                                        "/out/PellimorEMLMessages7.12.26 1.41.31.txt"));

  // A run that cannot end as it should says so, never "Imported": the final write of the
  // store failing, and an error nobody expected, which shows its own text.
  struct Case {
    std::function<void()> fault;
    QString text;
  };
  const std::vector<Case> cases = {
      {[&] { mail_->recorder().FailNth(QStringLiteral("Store.Close"), 1); },
       "Writing the store failed: 57:store: Injected fault\r\nThe store holds all 2 messages."},
      {[&] {
         mail_->recorder().SetFaultException(std::make_exception_ptr(std::runtime_error("Kaputt")));
         mail_->recorder().FailNth(QStringLiteral("Store.AddMessage"), 1);
       },
       "The conversion stopped on an unexpected error: Kaputt\r\n"
       "The store is incomplete: it holds 0 of 2 messages."},
  };
  for (const Case& c : cases) {
    c.fault();
    window_->CmdExtractDBX->setEnabled(true);  // as adding files again would
    platform_->dialogs.folder_answers = {QStringLiteral("/out")};
    QTest::mouseClick(window_->CmdExtractDBX, Qt::LeftButton);
    const auto& box = platform_->dialogs.msgboxes.back();
    QCOMPARE(box.style, 48);
    QVERIFY2(box.text.startsWith(c.text + "\r\n" + mail_->stores().stores().back()->path),
             qPrintable(box.text));
    QVERIFY(window_->cmdAdd->isEnabled());
  }
  QCOMPARE(platform_->dialogs.msgboxes.size(), size_t{4});
}

void FrmStep1Test::convertWritesEveryFileNotImportedToTheReport() {
  // 25 files that fail (one named with a byte that is not UTF-8) among 5 that import, one of
  // them with a note; a file of someone else's has the report's first name.
  fs_->AddFolder(QStringLiteral("/out"));
  const wharfline::Status unreadable =
      wharfline::Status::InvalidArgument("import", "empty message file");
  mail_->recorder().SetFaultStatus(unreadable);
  QStringList bad;
  for (int i = 0; i < 25; ++i) {
    bad << (i == 24 ? QStringLiteral("/m/bad/caf") + QChar(0xDCE9) + QStringLiteral(".eml")
                    : QStringLiteral("/m/bad/%1.eml").arg(i, 2, 10, QChar(u'0')));
    mail_->recorder().FailAlways(QStringLiteral("Files.Read"), bad.back());
  }
  for (int i = 0; i < 30; ++i) {
    const QString path = i % 6 == 0 ? QStringLiteral("/m/good/%1.eml").arg(i) : bad[i - 1 - i / 6];
    QVERIFY(window_->AddFileToList(path).ok());
  }
  mail_->files().notes[QStringLiteral("/m/good/6.eml")] = {"attachments missing"};
  const std::string theirs = "/out/PellimorEMLMessages7.12.26 1.41.31.txt";
  disk_->files.Put(theirs, {'x'});
  window_->CmdExtractDBX->setEnabled(true);
  platform_->dialogs.folder_answers = {QStringLiteral("/out")};
  QTest::mouseClick(window_->CmdExtractDBX, Qt::LeftButton);

  // The box as it was, the first 20 named, and one line more: where the report is.
  QCOMPARE(platform_->dialogs.msgboxes.size(), size_t{1});
  const QStringList box = platform_->dialogs.msgboxes[0].text.split(QStringLiteral("\r\n"));
  QCOMPARE(box.first(), QStringLiteral("Imported 5 of 30 files."));
  QCOMPARE(box[22], QStringLiteral("and 5 more"));
  const std::string report_path = "/out/PellimorEMLMessages7.12.26 1.41.31 (2).txt";
  QCOMPARE(box.last(),
           QStringLiteral("The full report is in ") + QString::fromStdString(report_path));
  QCOMPARE(box.size(), 1 + 1 + 20 + 1 + 2 + 1);
  QCOMPARE(*disk_->files.Contents(theirs), std::vector<std::uint8_t>{'x'});

  const std::vector<std::uint8_t>* bytes = disk_->files.Contents(report_path);
  QVERIFY(bytes);
  const QByteArray report(reinterpret_cast<const char*>(bytes->data()), qsizetype(bytes->size()));
  for (const char* line :
       {"\nFiles listed: 30\n", "\nImported: 5\n", "\nNot imported: 25\n",
        "\nImported with a note: 1\n", "\nSource folders:\n  /m/bad\n  /m/good\n",
        "\nOptions:\n  Output folder: /out/\n",
        "\nimported with a note\t/m/good/6.eml\tattachments missing\n"}) {
    QVERIFY2(report.contains(line), line);
  }
  const QByteArray reason = convert::FailureText(unreadable).toUtf8();
  for (const QString& path : bad) {
    const QByteArray line = "\nnot imported\t" +
                            QByteArray::fromStdString(wharfline::NativeFromPath(path)) + '\t' +
                            reason + '\n';
    QVERIFY2(report.contains(line), line.constData());
  }
  QVERIFY(report.contains("/m/bad/caf\xe9.eml"));

  // A full disk: the box says so in that line, and no piece of a report is left.
  using pst::testing::FaultFileEnv;
  disk_->faults = std::make_unique<FaultFileEnv>(
      disk_->files, FaultFileEnv::Plan{FaultFileEnv::Mode::kDiskFull, 1, ENOSPC});
  window_->CmdExtractDBX->setEnabled(true);
  platform_->dialogs.folder_answers = {QStringLiteral("/out")};
  QTest::mouseClick(window_->CmdExtractDBX, Qt::LeftButton);
  QCOMPARE(platform_->dialogs.msgboxes.size(), size_t{2});
  const QString full = platform_->dialogs.msgboxes[1].text;
  QVERIFY(full.startsWith(QStringLiteral("Imported 5 of 30 files.\r\n")));
  QVERIFY2(full.endsWith(
               QStringLiteral("\r\nThe report could not be written: No space left on device")),
           qPrintable(full));
  QCOMPARE(disk_->files.Now().size(), size_t{2});
}

void FrmStep1Test::oneRunAtATime() {
  fs_->AddFolder(QStringLiteral("/out"));
  QVERIFY(window_->AddFileToList(QStringLiteral("/m/a.eml")).ok());
  window_->CmdExtractDBX->setEnabled(true);
  // A second answer ready, should a second run get as far as asking.
  platform_->dialogs.folder_answers = {QStringLiteral("/out"), QStringLiteral("/out")};
  QStringList seen;
  platform_->events.on_yield = [&](int n) {
    if (n != 4) return;  // inside the run, after the store was made
    seen << QString::number(window_->cmdAdd->isEnabled()) +
                QString::number(window_->CmdAddFolder->isEnabled()) +
                QString::number(window_->cmdClear1->isEnabled()) +
                QString::number(window_->CmdExtractDBX->isEnabled()) +
                QString::number(window_->cmdEnd->isEnabled());
    // A click that gets through anyway (a queued event) starts nothing.
    emit window_->CmdExtractDBX->clicked();
  };
  QTest::mouseClick(window_->CmdExtractDBX, Qt::LeftButton);
  QCOMPARE(seen, QStringList{"00001"});
  QCOMPARE(mail_->stores().stores().size(), size_t{1});
  QVERIFY(window_->cmdAdd->isEnabled() && window_->CmdAddFolder->isEnabled() &&
          window_->cmdClear1->isEnabled());
}

void FrmStep1Test::writesScreenshot() {
  QVERIFY(window_->AddFileToList(QStringLiteral("/home/ann/Mail/2010/a.eml")).ok());
  QVERIFY(window_->AddFileToList(QStringLiteral("/home/ann/Mail/2010/b.emlx")).ok());
  window_->CmdExtractDBX->setEnabled(true);
  const QString path = QStringLiteral(WHARFLINE_SCREENSHOT);
  QVERIFY(window_->grab().save(path));
  qInfo("window written to %s", qPrintable(path));
}

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  shell::SetApplicationIdentity();
  FrmStep1Test test;
  return QTest::qExec(&test, argc, argv);
}

#include "frmStep1_test.moc"

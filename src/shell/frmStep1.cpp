#include "shell/frmStep1.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <algorithm>

#include "run/conversion_run.h"
#include "run/run_report.h"
#include "filelist/add_files_command.h"
#include "filelist/add_folder_command.h"
#include "filelist/registry.h"
#include "platform/identity.h"
#include "shell/fonts.h"

namespace {

// What the window shows.
const char kCaption[] = "Pellimor Wharfline (.eml & .emlx)";
const char kTitle[] = "Pellimor Wharfline";
const char kCopyright[] = "Copyright \u00A9 2026 Pellimor Software \u2013 support@pellimor.com";
const char kAddFiles[] = "Add EML File(s)...";
const char kAddFolder[] = "Add Folder having EML File(s)...";
const char kClear[] = "Clear File(s)...";
const char kNoFiles[] = "0 files";
const char kDetails[] = "Details";
const char kConvertingMessages[] = "Converting Messages...";
const char kMessageCount[] = "Message 0 (of 0)";
const char kCurrentFileProgress[] = "Current File Progress : ";
const char kOverallProgress[] = "Overall Progress        : ";
const char kConvert[] = "Convert &Messages";
const char kExit[] = "E&xit";
const char kExitQuestion[] = "Are you sure you want to exit now?";
const char kChooseOutputFolder[] = "Choose Folder to Save...";
const char kOutlookErrorCaption[] = "Outlook Error";
const char kNothingToConvert[] = "There are no files in the list to convert.";

// The client area and every control, in twips; Left and Top are relative to the control's
// container (the window, FrameConversion or Picture3).
constexpr int kClientWidth = 8145;
constexpr int kClientHeight = 6750;
constexpr int kTwipsPerInch = 1440;
constexpr int kViewSyncMs = 40;

struct Placement {
  const char* name;
  int left, top, width, height;
};

constexpr Placement kLayout[] = {
    {"Shape2", -120, 0, 8415, 855},
    {"lblTitle", 240, 120, 6255, 375},
    {"lblCopyright", 240, 480, 6135, 255},
    {"cmdAdd", 240, 960, 1815, 375},
    {"CmdAddFolder", 2400, 960, 2775, 375},
    {"cmdClear1", 6240, 960, 1695, 375},
    {"lblCount1", 270, 1560, 7695, 255},
    {"grdFiles1", 240, 1800, 7695, 1575},
    {"FrameConversion", 240, 3480, 7695, 1815},
    {"LblCurrentDBX", 120, 240, 7455, 255},
    {"LblProgessCurrent", 1800, 600, 5775, 255},
    {"Label2", 120, 960, 1695, 255},
    {"ProgressBar2", 1800, 960, 5775, 255},
    {"Label1", 120, 1320, 1695, 255},
    {"ProgressBar1", 1800, 1320, 5775, 255},
    {"CmdExtractDBX", 2880, 5520, 2415, 435},
    {"Shape1", 0, 6120, 8415, 855},
    {"Picture3", 240, 6240, 7695, 495},
    {"cmdEnd", 6360, 0, 1335, 375},
};

const QColor kWhite(255, 255, 255);
const QColor kBlack(0, 0, 0);
const QColor kShape2Border(128, 128, 128);
const QColor kShape1Border(192, 192, 192);

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

void SetColours(QWidget* widget, const QColor* background, const QColor& text) {
  QPalette palette = widget->palette();
  if (background) {
    palette.setColor(QPalette::Window, *background);
    widget->setAutoFillBackground(true);
  }
  palette.setColor(QPalette::WindowText, text);
  widget->setPalette(palette);
}

}  // namespace

frmStep1::frmStep1(platform::Platform platform, convert::Engine engine,
                   filelist::FileSystem& file_system, QWidget* parent)
    : QWidget(parent), platform_(platform), engine_(engine), file_system_(file_system) {
  Initialize();
  CreateControls();
  ApplyLayout();
  FitTexts();
  SetTabOrder();
  ConnectHandlers();
  InitFileList();  // the load step
}

frmStep1::~frmStep1() = default;

void frmStep1::Initialize() {
  // On Windows this is where the common controls were initialised so that, with the
  // application's manifest, buttons take the system's visual style. Qt draws its widgets in the
  // platform's style by itself, so nothing needs to be called; the fonts are made ready here.
  shell::EnsureTahoma();
  setObjectName(QStringLiteral("frmStep1"));
  setWindowTitle(Text(kCaption));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setAcceptDrops(false);
  setFont(shell::ControlFont());
}

void frmStep1::CreateControls() {
  const auto named = [](QWidget* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
  };
  // Creation order is drawing order: the two white bands go first so everything lies on them.
  Shape2 = new shell::Shape(kWhite, kShape2Border, this);
  named(Shape2, "Shape2");
  Shape1 = new shell::Shape(kWhite, kShape1Border, this);
  named(Shape1, "Shape1");

  lblTitle = new QLabel(Text(kTitle), this);
  named(lblTitle, "lblTitle");
  lblTitle->setFont(shell::TitleFont());
  SetColours(lblTitle, &kWhite, kBlack);
  lblCopyright = new QLabel(Text(kCopyright), this);
  named(lblCopyright, "lblCopyright");
  SetColours(lblCopyright, &kWhite, kBlack);

  cmdAdd = new QPushButton(Text(kAddFiles), this);
  named(cmdAdd, "cmdAdd");
  CmdAddFolder = new QPushButton(Text(kAddFolder), this);
  named(CmdAddFolder, "CmdAddFolder");
  cmdClear1 = new QPushButton(Text(kClear), this);
  named(cmdClear1, "cmdClear1");
  lblCount1 = new QLabel(Text(kNoFiles), this);
  named(lblCount1, "lblCount1");

  grid_ = new filelist::FileGrid(this);
  grid_->setObjectName(QStringLiteral("grdFiles1Model"));
  grdFiles1 = new QTableView(this);
  named(grdFiles1, "grdFiles1");
  grdFiles1->setModel(grid_);
  grdFiles1->horizontalHeader()->hide();
  grdFiles1->verticalHeader()->hide();
  // Uniform rows keep a list of a hundred thousand files as quick as a short one.
  grdFiles1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  grdFiles1->verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 4);
  grdFiles1->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  grdFiles1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grdFiles1->setSelectionMode(QAbstractItemView::SingleSelection);
  grdFiles1->setWordWrap(false);
  // One column wider than the grid: it scrolls sideways by pixels (by items there would be
  // nothing to scroll), and a path is shown whole, never cut short with an ellipsis.
  grdFiles1->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  grdFiles1->setTextElideMode(Qt::ElideNone);
  grdFiles1->setAcceptDrops(false);
  grdFiles1->setDragDropMode(QAbstractItemView::NoDragDrop);

  FrameConversion = new shell::Frame(Text(kDetails), this);
  named(FrameConversion, "FrameConversion");
  LblCurrentDBX = new QLabel(Text(kConvertingMessages), FrameConversion);
  named(LblCurrentDBX, "LblCurrentDBX");
  LblProgessCurrent = new QLabel(Text(kMessageCount), FrameConversion);
  named(LblProgessCurrent, "LblProgessCurrent");
  SetColours(LblProgessCurrent, nullptr, kBlack);
  Label2 = new QLabel(Text(kCurrentFileProgress), FrameConversion);
  named(Label2, "Label2");
  ProgressBar2 = new shell::ProgressBar(FrameConversion);
  named(ProgressBar2, "ProgressBar2");
  Label1 = new QLabel(Text(kOverallProgress), FrameConversion);
  named(Label1, "Label1");
  ProgressBar1 = new shell::ProgressBar(FrameConversion);
  named(ProgressBar1, "ProgressBar1");

  CmdExtractDBX = new QPushButton(Text(kConvert), this);
  named(CmdExtractDBX, "CmdExtractDBX");
  CmdExtractDBX->setEnabled(false);

  Picture3 = new QWidget(this);
  named(Picture3, "Picture3");
  SetColours(Picture3, &kWhite, palette().color(QPalette::WindowText));
  Picture3->setFocusPolicy(Qt::NoFocus);
  cmdEnd = new QPushButton(Text(kExit), Picture3);
  named(cmdEnd, "cmdEnd");

  for (QLabel* label : findChildren<QLabel*>()) {
    label->setFocusPolicy(Qt::NoFocus);
    label->setTextFormat(Qt::PlainText);
  }
  for (QPushButton* button : findChildren<QPushButton*>()) {
    // No button answers Enter or Esc.
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  FrameConversion->setFocusPolicy(Qt::NoFocus);
}

int frmStep1::TwipsToPixelsX(int twips) const {
  const double dpi = screen() ? screen()->logicalDotsPerInchX() : 96.0;
  return qRound(twips * dpi / kTwipsPerInch);
}

int frmStep1::TwipsToPixelsY(int twips) const {
  const double dpi = screen() ? screen()->logicalDotsPerInchY() : 96.0;
  return qRound(twips * dpi / kTwipsPerInch);
}

void frmStep1::ApplyLayout() {
  setFixedSize(TwipsToPixelsX(kClientWidth), TwipsToPixelsY(kClientHeight));
  for (const Placement& p : kLayout) {
    QWidget* widget = findChild<QWidget*>(QString::fromLatin1(p.name));
    Q_ASSERT(widget);
    widget->setGeometry(TwipsToPixelsX(p.left), TwipsToPixelsY(p.top), TwipsToPixelsX(p.width),
                        TwipsToPixelsY(p.height));
  }
  grdFiles1->setColumnWidth(0, TwipsToPixelsX(grid_->ColWidth(0)));
}

void frmStep1::FitTexts() {
  // The layout was drawn for Tahoma. Where another font stands in, any text that would not fit
  // its control gets a slightly smaller size rather than being cut off.
  const auto fit = [](QWidget* widget, const QString& text, int room) {
    QFont font = widget->font();
    while (QFontMetrics(font).horizontalAdvance(QString(text).remove(u'&')) > room &&
           font.pointSizeF() > 6.0) {
      font.setPointSizeF(font.pointSizeF() - 0.25);
    }
    widget->setFont(font);
  };
  for (QLabel* label : findChildren<QLabel*>()) fit(label, label->text(), label->width());
  for (QPushButton* button : findChildren<QPushButton*>()) {
    fit(button, button->text(), button->width() - 8);
  }
}

void frmStep1::SetTabOrder() {
  setTabOrder(cmdAdd, cmdClear1);
  setTabOrder(cmdClear1, CmdAddFolder);
  setTabOrder(CmdAddFolder, grdFiles1);
  setTabOrder(grdFiles1, CmdExtractDBX);
  setTabOrder(CmdExtractDBX, cmdEnd);
  cmdAdd->setFocus(Qt::OtherFocusReason);
}

void frmStep1::ConnectHandlers() {
  connect(cmdAdd, &QPushButton::clicked, this, &frmStep1::cmdAdd_Click);
  connect(cmdClear1, &QPushButton::clicked, this, &frmStep1::cmdClear1_Click);
  connect(cmdEnd, &QPushButton::clicked, this, &frmStep1::cmdEnd_Click);
  connect(CmdAddFolder, &QPushButton::clicked, this, &frmStep1::CmdAddFolder_Click);
  connect(CmdExtractDBX, &QPushButton::clicked, this, &frmStep1::CmdExtractDBX_Click);

  // The view follows the grid's current cell a few times a second at most: moving the
  // selection costs the view time in proportion to the rows, so a burst of adds, or a long
  // command that lets events through after every row, must not pay it for every row.
  view_sync_->setSingleShot(true);
  view_sync_->setInterval(kViewSyncMs);
  connect(view_sync_, &QTimer::timeout, this, [this] {
    grdFiles1->selectionModel()->setCurrentIndex(grid_->index(grid_->Row(), grid_->Col()),
                                                 QItemSelectionModel::ClearAndSelect);
  });
  connect(grid_, &filelist::FileGrid::currentCellChanged, this, [this] {
    if (!view_sync_->isActive()) view_sync_->start();
  });
  connect(grid_, &filelist::FileGrid::columnWidthChanged, this, [this](int col, int twips) {
    grdFiles1->setColumnWidth(col, std::max(TwipsToPixelsX(twips), widest_path_px_));
  });
  // A path wider than the column widens it on screen, so scrolling shows all of it. Only a
  // text longer than any before is measured, which keeps a burst of adds cheap.
  connect(grid_, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex& cell) {
    const QString text = cell.data().toString();
    if (text.size() <= widest_path_chars_) return;
    widest_path_chars_ = text.size();
    const int needed = grdFiles1->fontMetrics().horizontalAdvance(text) + 8;
    widest_path_px_ = std::max(widest_path_px_, needed);
    if (needed > grdFiles1->columnWidth(0)) grdFiles1->setColumnWidth(0, needed);
  });
  file_list_ = std::make_unique<filelist::FileList>(
      *grid_, [this](const QString& caption) { lblCount1->setText(caption); });
}

void frmStep1::InitFileList() { file_list_->InitFileList(); }

wharfline::Status frmStep1::AddFileToList(QString entry) {
  return file_list_->AddFileToList(std::move(entry));
}

void frmStep1::ClearFileList() { file_list_->ClearFileList(); }

void frmStep1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (centred_) return;
  // Centred at every start: the application keeps no position between runs.
  centred_ = true;
  if (QScreen* where = screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(where->availableGeometry().center());
    move(frame.topLeft());
  }
}

void frmStep1::closeEvent(QCloseEvent* event) {
  event->accept();
  Unload();
}

void frmStep1::Unload() {
  // Ends the process at once, also from inside a long command's event processing: nothing is
  // closed or undone on the way out.
  platform_.exit.Exit(0);
}

void frmStep1::ReportUnexpected(const std::exception&) {
  // Called from a handler's catch: the error in flight is the one to tell.
  platform_.dialogs.MsgBox(convert::UnexpectedErrorText(std::current_exception()),
                           platform::kExclamation,
                           Text(identity::kApplicationTitle));
}

void frmStep1::cmdAdd_Click() {
  try {
    filelist::AddFilesCommand(platform_.dialogs, *file_list_,
                              [this](bool on) { CmdExtractDBX->setEnabled(on); });
  } catch (const std::exception& error) {
    ReportUnexpected(error);
  }
}

void frmStep1::cmdClear1_Click() {
  try {
    filelist::ClearCommand(platform_.dialogs, *file_list_);
  } catch (const std::exception& error) {
    ReportUnexpected(error);
  }
}

void frmStep1::cmdEnd_Click() {
  const int answer = platform_.dialogs.MsgBox(Text(kExitQuestion),
                                              platform::kYesNo | platform::kQuestion,
                                              Text(identity::kApplicationTitle));
  if (answer == platform::kResultYes) Unload();
}

void frmStep1::CmdAddFolder_Click() {
  try {
    filelist::AddFolderCommand(
        platform_, [this](const QString& path) { return file_list_->AddFileToList(path); },
        [this](bool on) { CmdExtractDBX->setEnabled(on); }, file_system_);
  } catch (const std::exception& error) {
    platform_.pointer.SetHourglass(false);
    ReportUnexpected(error);
  }
}

void frmStep1::CmdExtractDBX_Click() {
  try {
    if (run_in_progress_) return;
    // A run over an empty list would only make an empty store: say so instead.
    if (!file_list_->HoldsEntries()) {
      platform_.dialogs.MsgBox(Text(kNothingToConvert), platform::kInformation,
                               Text(identity::kApplicationTitle));
      return;
    }
    QString folder =
        registry::ChooseFolder(platform_.dialogs, Text(kChooseOutputFolder), file_system_);
    if (folder.isEmpty()) return;
    const QChar separator = folder.startsWith(u'/') ? QChar(u'/') : QChar(u'\\');
    if (!folder.endsWith(separator)) folder.append(separator);
    run_state_.outputFolder = folder;
    platform_.events.ProcessPendingEvents();

    // One run at a time: the list stays as it is and no second run starts while this one
    // yields. Exit and the close box stay live.
    const bool convert_was_enabled = CmdExtractDBX->isEnabled();
    run_in_progress_ = true;
    SetListCommandsEnabled(false);
    CmdExtractDBX->setEnabled(false);
    convert::ConversionRun run(engine_, platform_.events, platform_.clock);
    const convert::RunOutcome outcome = run.Run(run_state_, *this, *this);
    run_in_progress_ = false;
    SetListCommandsEnabled(true);
    // A run that got to the files leaves the convert button off until the list is filled again;
    // one that stopped before keeps it as it was.
    CmdExtractDBX->setEnabled(outcome.reached_files ? false : convert_was_enabled);

    if (outcome.outlook_error) {
      platform_.dialogs.MsgBox(convert::OutlookErrorText(outcome.cause), platform::kInformation,
                               Text(kOutlookErrorCaption));
    } else if (!outcome.Complete() || !outcome.failures.empty() || !outcome.notes.empty() ||
               outcome.store_paths.size() > 1) {
      // Anything short of every file in the store is told, with what the store holds; the
      // box names the first files, the report beside the store all of them. A run that filled
      // more than one store names them.
      QString text = convert::FailureSummaryText(outcome);
      if (outcome.store_made && convert::HasFilesToReport(outcome)) {
        text += QStringLiteral("\r\n") + WriteReport(outcome);
      }
      const bool all_in = outcome.Complete() && outcome.failures.empty() && outcome.notes.empty();
      platform_.dialogs.MsgBox(text, all_in ? platform::kInformation : platform::kExclamation,
                               Text(identity::kApplicationTitle));
    }
  } catch (const std::exception& error) {
    run_in_progress_ = false;
    SetListCommandsEnabled(true);
    ReportUnexpected(error);
  }
}

QString frmStep1::WriteReport(const convert::RunOutcome& outcome) {
  convert::ReportContext context;
  context.source_folders = convert::SourceFoldersOf(*PeekRows());
  context.options << QStringLiteral("Output folder: ") + run_state_.outputFolder;
  const wharfline::Result<QString> written =
      convert::WriteReportBesideStore(engine_.reports, outcome, context);
  return written ? convert::ReportWrittenLine(*written)
                 : convert::ReportFailedLine(written.error());
}

void frmStep1::SetListCommandsEnabled(bool enabled) {
  cmdAdd->setEnabled(enabled);
  CmdAddFolder->setEnabled(enabled);
  cmdClear1->setEnabled(enabled);
}

std::int32_t frmStep1::Rows() { return grid_->Rows(); }

wharfline::Result<QString> frmStep1::RowText(std::int32_t row) {
  if (wharfline::Status s = grid_->SetRow(row); !s.ok()) return s;
  if (wharfline::Status s = grid_->SetCol(0); !s.ok()) return s;
  return grid_->Text();
}

std::shared_ptr<const convert::PathList> frmStep1::PeekRows() {
  auto texts = std::make_shared<convert::PathList>();
  texts->Reserve(static_cast<std::size_t>(std::max(grid_->Rows(), 0)));
  for (std::int32_t i = 0; i < grid_->Rows(); ++i) texts->Append(grid_->TextAt(i, 0));
  return texts;
}

void frmStep1::SetBarRanges(float min, float max) {
  ProgressBar1->SetMin(min);
  ProgressBar1->SetMax(max);
  ProgressBar2->SetMin(min);
  ProgressBar2->SetMax(max);
}

void frmStep1::SetFrameCaption(const QString& caption) { FrameConversion->setTitle(caption); }

void frmStep1::SetStatusLine(const QString& text) { LblCurrentDBX->setText(text); }

void frmStep1::SetOverallProgress(float value) { ProgressBar1->SetValue(value); }

void frmStep1::SetConvertEnabled(bool enabled) { CmdExtractDBX->setEnabled(enabled); }

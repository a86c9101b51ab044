// frmStep1: the application's one window. It owns every control, the file list over the grid,
// and the handlers behind its buttons; the handlers hand their work to the commands in
// filelist/ and convert/ and talk to the user only through the platform seam.
// Positions and sizes are kept in twips and turned into pixels at the screen's logical DPI.
// Window thread only.
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "run/engine.h"
#include "run/row_source.h"
#include "run/run_state.h"
#include "filelist/file_grid.h"
#include "filelist/file_list.h"
#include "platform/platform.h"
#include "shell/controls.h"

namespace filelist {
class FileSystem;
}
namespace convert {
struct RunOutcome;
}

class frmStep1 final : public QWidget,
                       private convert::RowSource,
                       private convert::ProgressView {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(frmStep1)

 public:
  // platform, what engine refers to (the stores and message files the run uses) and
  // file_system (what the add-folder command walks) must outlive the window.
  frmStep1(platform::Platform platform, convert::Engine engine,
           filelist::FileSystem& file_system, QWidget* parent = nullptr);
  ~frmStep1() override;

  // The file list operations, for the commands and the run.
  void InitFileList();
  wharfline::Status AddFileToList(QString entry);
  void ClearFileList();

  // Twips to pixels at this window's screen.
  int TwipsToPixelsX(int twips) const;
  int TwipsToPixelsY(int twips) const;

  // The controls, named as the window was designed; Qt owns them through the window.
  QPushButton* cmdAdd = nullptr;
  QPushButton* CmdAddFolder = nullptr;
  QPushButton* cmdClear1 = nullptr;
  QPushButton* CmdExtractDBX = nullptr;
  QPushButton* cmdEnd = nullptr;
  QTableView* grdFiles1 = nullptr;
  QLabel* lblCount1 = nullptr;
  shell::Frame* FrameConversion = nullptr;
  QLabel* LblCurrentDBX = nullptr;
  QLabel* LblProgessCurrent = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  shell::ProgressBar* ProgressBar1 = nullptr;
  shell::ProgressBar* ProgressBar2 = nullptr;
  shell::Shape* Shape1 = nullptr;
  shell::Shape* Shape2 = nullptr;
  QWidget* Picture3 = nullptr;
  QLabel* lblTitle = nullptr;
  QLabel* lblCopyright = nullptr;

  filelist::FileGrid& grid() { return *grid_; }
  // The run's state: output folder, store display name, folder list, session, MIME component.
  convert::RunState& run_state() { return run_state_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private slots:
  void cmdAdd_Click();
  void cmdClear1_Click();
  void cmdEnd_Click();
  void CmdAddFolder_Click();
  void CmdExtractDBX_Click();

 private:
  void Initialize();
  void CreateControls();
  void ApplyLayout();
  void SetTabOrder();
  void ConnectHandlers();
  void FitTexts();
  void Unload();
  // Shows the error in flight in a box; called from a handler's catch.
  void ReportUnexpected(const std::exception& error);
  // Writes the run's report beside its store; returns the end box's line about it.
  QString WriteReport(const convert::RunOutcome& outcome);
  // While a run is in progress the commands that change the list or start a run are off.
  void SetListCommandsEnabled(bool enabled);

  // The file list as the run reads it: reading a row makes it the grid's current cell.
  std::int32_t Rows() override;
  wharfline::Result<QString> RowText(std::int32_t row) override;
  std::shared_ptr<const convert::PathList> PeekRows() override;
  // The run's progress on the Details frame.
  void SetBarRanges(float min, float max) override;
  void SetFrameCaption(const QString& caption) override;
  void SetStatusLine(const QString& text) override;
  void SetOverallProgress(float value) override;
  void SetConvertEnabled(bool enabled) override;

  platform::Platform platform_;
  convert::Engine engine_;
  filelist::FileSystem& file_system_;
  convert::RunState run_state_;
  bool run_in_progress_ = false;
  qsizetype widest_path_chars_ = 0;  // the longest path shown so far, in characters
  int widest_path_px_ = 0;           // and the column width it needs
  filelist::FileGrid* grid_ = nullptr;  // owned by the window (QObject child)
  std::unique_ptr<filelist::FileList> file_list_;
  bool centred_ = false;
  QTimer* view_sync_ = new QTimer(this);
};

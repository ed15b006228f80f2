#pragma once
// CTonveloDlg: the main window. It owns the file list, the settings and the
// cancel flag; it fills the list (file dialog, folder search, drag and drop),
// starts a batch on a CConversionThread and shows its status and progress.
// While a batch runs every control that could change the list or the
// settings is disabled; closing the window then cancels the batch and waits
// for the worker before the dialog goes away.

#include <QDialog>
#include <memory>
#include <vector>

#include "framework/tonvelo_format.h"
#include "pipeline/conversion_settings.h"
#include "pipeline/file_entry.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace tonvelo {

class CConversionThread;
class CQtConversionEvents;
class CSettingsStore;
class CStatusLabel;
class CUserPrompts;

class CTonveloDlg : public QDialog {
  Q_OBJECT

 public:
  // The store is read now and written when the dialog closes.
  CTonveloDlg(CSettingsStore& store, CUserPrompts& prompts, QWidget* parent = nullptr);
  ~CTonveloDlg() override;

  const std::vector<FileEntry>& Files() const { return files_; }
  bool IsConverting() const { return thread_ != nullptr; }

 signals:
  // After the closing box of a batch, once the controls are idle again.
  void batchEnded(int result);

 public slots:
  // Exit, Escape and the close box all end here.
  void done(int result) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void BuildControls();
  void ConnectControls();
  void PushToControls();
  void PullFromControls();
  void ResetControls();
  void UpdateStartButton();
  void RefreshFileList();
  void SetIdle(bool idle);
  void AddEntry(const QString& path, std::string subFolder);
  void ShowMessage(int icon, const QString& text);

  void onAddFiles();
  void onAddFolder();
  void onRemoveAll();
  void onOutputModeChanged();
  void onSetOutputPath();
  void onAdvanced();
  void onAbout();
  void onStart();
  void onCancel();
  void onStatus(const QString& text);
  void onProgress(int percent);
  void onFinished(int result);

  CSettingsStore& store_;
  CUserPrompts& prompts_;
  ConversionSettings settings_;
  std::vector<FileEntry> files_;
  CancelFlag cancel_{0};
  CQtConversionEvents* events_;  // a child of the dialog
  std::unique_ptr<CConversionThread> thread_;
  bool closing_ = false;
  // Held at the moment Start is pressed: diagnostic files / discarded output.
  bool leftControlDown_ = false;
  bool rightControlDown_ = false;

  QListWidget* fileList_ = nullptr;
  QPushButton* addFilesButton_ = nullptr;
  QPushButton* addFolderButton_ = nullptr;
  QPushButton* removeAllButton_ = nullptr;
  QButtonGroup* outputMode_ = nullptr;
  QPushButton* setOutputPathButton_ = nullptr;
  QLineEdit* outputPathEdit_ = nullptr;
  QComboBox* formatCombo_ = nullptr;
  QButtonGroup* audioType_ = nullptr;
  QCheckBox* prependCheck_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  CStatusLabel* statusLabel_ = nullptr;
  QPushButton* startButton_ = nullptr;
  QPushButton* advancedButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  QPushButton* exitButton_ = nullptr;
};

}  // namespace tonvelo

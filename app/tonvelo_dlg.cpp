#include "app/tonvelo_dlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QVBoxLayout>
#include <algorithm>

#include "app/about_dialog.h"
#include "app/advanced_dialog.h"
#include "app/audio_types.h"
#include "app/dialog_parts.h"
#include "app/qt_conversion_events.h"
#include "app/settings_store.h"
#include "app/status_label.h"
#include "app/user_prompts.h"
#include "encoders/encoder_factory.h"
#include "framework/result.h"
#include "pipeline/catalogue.h"
#include "pipeline/conversion_thread.h"
#include "pipeline/folder_search.h"

namespace tonvelo {

namespace {

constexpr const char* kIdleStatus =
    "Add files to convert, select output path and audio file type, select output format, then "
    "click \"Start Conversion\".";
constexpr int kOutputPathMaxChars = 512;
constexpr int kSameAsSource = 0;
constexpr int kCustomFolder = 1;

// Left and right Control tell themselves apart only by native codes: X11 and
// Wayland report keysyms, Windows the scan code with its extended-key bit.
constexpr quint32 kKeysymControlRight = 0xffe4;
constexpr quint32 kWindowsScanControlRight = 0x11d;

QString FromUtf8(const std::string& text) { return QString::fromStdString(text); }

// Doubled separators inside a local path are collapsed; a network path keeps
// its leading pair ("\\server\share", "//server/share").
QString CollapseDoubleSeparators(QString path) {
  const bool drivePath = path.size() > 4 && path[1] == QLatin1Char(':');
  const bool rootedPath = path.size() > 4 && path[0] == QLatin1Char('/') && path[1] != path[0];
  if (!drivePath && !rootedPath) return path;
  for (const QString& pair : {QStringLiteral("\\\\"), QStringLiteral("//")}) {
    while (path.contains(pair)) path.replace(pair, pair.left(1));
  }
  return path;
}

QPushButton* MakeButton(const QString& text, const char* objectName, QWidget* parent,
                        const QString& toolTip = {}) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(QString::fromLatin1(objectName));
  button->setToolTip(toolTip);
  button->setAutoDefault(false);
  return button;
}

}  // namespace

CTonveloDlg::CTonveloDlg(CSettingsStore& store, CUserPrompts& prompts, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      store_(store),
      prompts_(prompts),
      events_(new CQtConversionEvents(prompts, this)) {
  setObjectName(QStringLiteral("tonveloDialog"));
  setWindowTitle(QStringLiteral("Tonvelo v1.22"));
  setWindowIcon(ProgramIcon());
  BuildControls();
  ConnectControls();
  // Control keys and the list's Delete key are seen wherever the focus is.
  qApp->installEventFilter(this);

  settings_ = store_.Load();
  PushToControls();
  ResetControls();
  UpdateStartButton();
}

CTonveloDlg::~CTonveloDlg() {
  // Destroyed without done() (by its owner): the worker must not outlive the
  // list and the flag it reads.
  cancel_ = 1;
  events_->SetSilent(true);
  if (thread_) thread_->Join();
}

void CTonveloDlg::BuildControls() {
  QGroupBox* filesGroup = MakeGroup(QStringLiteral("Files to convert"), "filesGroup", this);
  fileList_ = new QListWidget(filesGroup);
  fileList_->setObjectName(QStringLiteral("fileList"));
  fileList_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  fileList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  fileList_->setTextElideMode(Qt::ElideNone);
  fileList_->setToolTip(QStringLiteral(
      "Click \"Add Files\" or \"Add Folder\", or drag files into this window from Explorer."));
  addFilesButton_ = MakeButton(QStringLiteral("&Add Files"), "addFilesButton", filesGroup,
                               QStringLiteral("Adds selected files within a particular folder"));
  addFolderButton_ =
      MakeButton(QStringLiteral("Add &Folder"), "addFolderButton", filesGroup,
                 QStringLiteral("Recursively adds all supported files beneath a given folder"));
  removeAllButton_ = MakeButton(QStringLiteral("&Remove All"), "removeAllButton", filesGroup,
                                QStringLiteral("Removes all files from the current list"));
  auto* fileButtons = new QVBoxLayout;
  fileButtons->addWidget(addFilesButton_);
  fileButtons->addWidget(addFolderButton_);
  fileButtons->addWidget(removeAllButton_);
  fileButtons->addStretch();
  auto* filesLayout = new QHBoxLayout(filesGroup);
  filesLayout->addWidget(fileList_, 1);
  filesLayout->addLayout(fileButtons);

  QGroupBox* pathGroup = MakeGroup(QStringLiteral("Encoded output path"), "outputPathGroup", this);
  auto* sameRadio = new QRadioButton(QStringLiteral("Same as source file"), pathGroup);
  sameRadio->setObjectName(QStringLiteral("sameAsSourceRadio"));
  auto* customRadio =
      new QRadioButton(QStringLiteral("Use output path specified below"), pathGroup);
  customRadio->setObjectName(QStringLiteral("customPathRadio"));
  outputMode_ = new QButtonGroup(this);
  outputMode_->addButton(sameRadio, kSameAsSource);
  outputMode_->addButton(customRadio, kCustomFolder);
  setOutputPathButton_ =
      MakeButton(QStringLiteral("Set &Output Path"), "setOutputPathButton", pathGroup);
  outputPathEdit_ = new QLineEdit(pathGroup);
  outputPathEdit_->setObjectName(QStringLiteral("outputPathEdit"));
  outputPathEdit_->setReadOnly(true);
  outputPathEdit_->setMaxLength(kOutputPathMaxChars);
  // Full width, so that a long output folder stays readable.
  auto* pathLayout = new QGridLayout(pathGroup);
  pathLayout->addWidget(sameRadio, 0, 0);
  pathLayout->addWidget(customRadio, 0, 1);
  pathLayout->addWidget(setOutputPathButton_, 1, 0);
  pathLayout->addWidget(outputPathEdit_, 1, 1);
  pathLayout->setColumnStretch(1, 1);

  QGroupBox* formatGroup = MakeGroup(QStringLiteral("Output format"), "outputFormatGroup", this);
  formatCombo_ = new QComboBox(formatGroup);
  formatCombo_->setObjectName(QStringLiteral("formatCombo"));
  formatCombo_->setAccessibleName(QStringLiteral("Output format"));
  // Row i stands for catalogue row i; the item data is the format id.
  for (const FormatInfo& row : kFormatCatalogue) {
    if (row.displayName == nullptr) break;
    formatCombo_->addItem(QString::fromUtf8(row.displayName), row.id);
  }
  auto* typeRow = new QHBoxLayout;
  typeRow->addWidget(new QLabel(QStringLiteral("Audio file type:"), formatGroup));
  audioType_ = new QButtonGroup(this);
  for (const AudioTypeRow& row : kAudioTypes) {
    auto* radio = new QRadioButton(QString::fromLatin1(row.label), formatGroup);
    radio->setObjectName(QString::fromLatin1(row.object));
    audioType_->addButton(radio, row.value);
    typeRow->addWidget(radio);
  }
  typeRow->addSpacing(fontMetrics().averageCharWidth() * 4);
  prependCheck_ =
      new QCheckBox(QStringLiteral("Prepend format identifier to output filenames"), formatGroup);
  prependCheck_->setObjectName(QStringLiteral("prependCheck"));
  prependCheck_->setToolTip(QStringLiteral(
      "Controls whether output filenames are prefixed with the type of player system"));
  typeRow->addWidget(prependCheck_);
  typeRow->addStretch();
  auto* formatLayout = new QVBoxLayout(formatGroup);
  formatLayout->addWidget(formatCombo_);
  formatLayout->addLayout(typeRow);

  QGroupBox* statusGroup = MakeGroup(QStringLiteral("Status"), "statusGroup", this);
  progressBar_ = new QProgressBar(statusGroup);
  progressBar_->setObjectName(QStringLiteral("progressBar"));
  progressBar_->setRange(0, 100);
  statusLabel_ = new CStatusLabel(statusGroup);
  statusLabel_->setObjectName(QStringLiteral("statusLabel"));
  auto* statusLayout = new QVBoxLayout(statusGroup);
  statusLayout->addWidget(progressBar_);
  statusLayout->addWidget(statusLabel_);

  for (QGroupBox* group : {filesGroup, pathGroup, formatGroup, statusGroup}) UnboldChildren(group);

  startButton_ = MakeButton(QStringLiteral("&Start Conversion"), "startButton", this);
  advancedButton_ = MakeButton(QStringLiteral("Ad&vanced"), "advancedButton", this);
  cancelButton_ = MakeButton(QStringLiteral("&Cancel"), "cancelButton", this);
  exitButton_ = MakeButton(QStringLiteral("E&xit"), "exitButton", this);
  exitButton_->setDefault(true);
  auto* buttonRow = new QHBoxLayout;
  buttonRow->addWidget(startButton_);
  buttonRow->addWidget(advancedButton_);
  buttonRow->addStretch();
  buttonRow->addWidget(cancelButton_);
  buttonRow->addWidget(exitButton_);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(filesGroup, 1);
  layout->addWidget(pathGroup);
  layout->addWidget(formatGroup);
  layout->addWidget(statusGroup);
  layout->addLayout(buttonRow);
  resize(sizeHint().width(), sizeHint().height() + fontMetrics().lineSpacing() * 4);
}

void CTonveloDlg::ConnectControls() {
  connect(addFilesButton_, &QPushButton::clicked, this, &CTonveloDlg::onAddFiles);
  connect(addFolderButton_, &QPushButton::clicked, this, &CTonveloDlg::onAddFolder);
  connect(removeAllButton_, &QPushButton::clicked, this, &CTonveloDlg::onRemoveAll);
  connect(outputMode_, &QButtonGroup::idClicked, this, &CTonveloDlg::onOutputModeChanged);
  connect(setOutputPathButton_, &QPushButton::clicked, this, &CTonveloDlg::onSetOutputPath);
  connect(advancedButton_, &QPushButton::clicked, this, &CTonveloDlg::onAdvanced);
  connect(startButton_, &QPushButton::clicked, this, &CTonveloDlg::onStart);
  connect(cancelButton_, &QPushButton::clicked, this, &CTonveloDlg::onCancel);
  connect(exitButton_, &QPushButton::clicked, this, &QDialog::accept);
  connect(new QShortcut(QKeySequence::HelpContents, this), &QShortcut::activated, this,
          &CTonveloDlg::onAbout);
  // Queued: the worker emits these from its own thread.
  connect(events_, &CQtConversionEvents::statusChanged, this, &CTonveloDlg::onStatus,
          Qt::QueuedConnection);
  connect(events_, &CQtConversionEvents::progressChanged, this, &CTonveloDlg::onProgress,
          Qt::QueuedConnection);
  connect(events_, &CQtConversionEvents::finished, this, &CTonveloDlg::onFinished,
          Qt::QueuedConnection);
}

void CTonveloDlg::PushToControls() {
  outputPathEdit_->setText(FromUtf8(settings_.customOutputFolder));
  if (QAbstractButton* b = outputMode_->button(settings_.outputPathMode)) b->setChecked(true);
  if (QAbstractButton* b = audioType_->button(settings_.audioFileType)) b->setChecked(true);
  prependCheck_->setChecked(settings_.prependFormatKey != 0);
  formatCombo_->setCurrentIndex(formatCombo_->findData(settings_.outputFormat));
}

void CTonveloDlg::PullFromControls() {
  settings_.outputPathMode = outputMode_->checkedId();
  settings_.audioFileType = audioType_->checkedId();
  settings_.prependFormatKey = prependCheck_->isChecked() ? 1 : 0;
  if (formatCombo_->currentIndex() >= 0)
    settings_.outputFormat = formatCombo_->currentData().toInt();
}

void CTonveloDlg::UpdateStartButton() {
  PullFromControls();
  const bool noFolder = settings_.outputPathMode == kCustomFolder &&
                        settings_.customOutputFolder == kOutputPathNotSet;
  startButton_->setEnabled(!files_.empty() && !noFolder);
}

void CTonveloDlg::onOutputModeChanged() {
  const bool custom = outputMode_->checkedId() == kCustomFolder;
  setOutputPathButton_->setEnabled(custom);
  outputPathEdit_->setEnabled(custom);
  UpdateStartButton();
}

void CTonveloDlg::SetIdle(bool idle) {
  for (QWidget* w :
       std::initializer_list<QWidget*>{addFilesButton_, addFolderButton_, removeAllButton_,
                                       formatCombo_, prependCheck_, advancedButton_}) {
    w->setEnabled(idle);
  }
  for (QAbstractButton* b : outputMode_->buttons()) b->setEnabled(idle);
  for (QAbstractButton* b : audioType_->buttons()) b->setEnabled(idle);
  cancelButton_->setEnabled(!idle);
  setAcceptDrops(idle);
}

void CTonveloDlg::ResetControls() {
  onOutputModeChanged();
  progressBar_->setValue(0);
  statusLabel_->setText(QString::fromLatin1(kIdleStatus));
  cancel_ = 0;
  SetIdle(true);
  PushToControls();
}

void CTonveloDlg::RefreshFileList() {
  // The list widget sizes its horizontal scroll range to the widest path.
  fileList_->clear();
  for (const FileEntry& entry : files_) fileList_->addItem(FromUtf8(entry.sourcePath));
  UpdateStartButton();
}

void CTonveloDlg::AddEntry(const QString& path, std::string subFolder) {
  files_.push_back({CollapseDoubleSeparators(path).toStdString(), std::move(subFolder)});
}

void CTonveloDlg::ShowMessage(int icon, const QString& text) {
  prompts_.ShowMessage(this, static_cast<QMessageBox::Icon>(icon), text);
}

void CTonveloDlg::onAddFiles() {
  // Qt takes a filter's patterns from its parentheses; upper-case names are
  // listed too because Linux file names are case-sensitive.
  const QStringList paths = prompts_.GetOpenFileNames(
      this, QStringLiteral("Select music files to convert..."),
      QStringLiteral("MIDI and ESEQ files (*.mid *.fil *.esq *.evt *.pc *.MID *.FIL *.ESQ *.EVT "
                     "*.PC);;All files (*)"));
  PullFromControls();
  for (const QString& path : paths) AddEntry(QDir::toNativeSeparators(path), {});
  RefreshFileList();
}

void CTonveloDlg::onAddFolder() {
  // A window title has one line; the prompt's line break becomes a space.
  const QString folder = prompts_.GetExistingDirectory(
      this, QStringLiteral("Select source folder from which to add all supported files "
                           "recursively:"));
  if (folder.isEmpty()) return;
  std::vector<FileEntry> found;
  std::vector<UnreadableFolder> unreadable;
  const size_t count =
      AddFolderEntries(QDir::toNativeSeparators(folder).toStdString(), found, &unreadable);
  for (const UnreadableFolder& skipped : unreadable) {
    ShowMessage(QMessageBox::Warning, FromUtf8(DescribeUnreadableFolder(skipped)));
  }
  if (count == 0) {
    ShowMessage(QMessageBox::Critical, QString::fromLatin1(kNoSupportedFilesMessage));
    return;
  }
  // The found paths go in as the bytes the search gave: a name that is not
  // UTF-8 would not survive a trip through QString.
  for (FileEntry& entry : found) files_.push_back(std::move(entry));
  PullFromControls();
  RefreshFileList();
}

void CTonveloDlg::onRemoveAll() {
  files_.clear();
  RefreshFileList();
}

void CTonveloDlg::onSetOutputPath() {
  const QString folder = prompts_.GetExistingDirectory(
      this, QStringLiteral("Select destination folder for encoded files:"));
  if (folder.isEmpty()) return;
  PullFromControls();
  settings_.customOutputFolder = QDir::toNativeSeparators(folder).toStdString();
  PushToControls();
  UpdateStartButton();
}

void CTonveloDlg::onAdvanced() {
  PullFromControls();
  CAdvancedDialog dialog(this);
  dialog.SetValues(settings_);
  dialog.SetPedalingEnabled(CAdvancedDialog::HasPedalingOptions(settings_.outputFormat));
  if (dialog.exec() == QDialog::Accepted) dialog.GetValues(settings_);
}

void CTonveloDlg::onAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CTonveloDlg::contextMenuEvent(QContextMenuEvent* event) {
  // Linux window managers give an application no system menu to add to.
  QMenu menu(this);
  menu.addAction(QStringLiteral("&About Tonvelo"), this, &CTonveloDlg::onAbout);
  menu.exec(event->globalPos());
}

void CTonveloDlg::onStart() {
  PullFromControls();
  cancel_ = 0;
  // The thread would end such a batch without a word, and the closing box
  // would then report success.
  if (!CreateEncoder(settings_.outputFormat, EncoderOptions{})) {
    const FormatInfo* format = FindFormatById(settings_.outputFormat);
    ShowMessage(QMessageBox::Critical,
                QStringLiteral("\"%1\" tracks cannot be made by this version of Tonvelo.")
                    .arg(format ? QString::fromUtf8(format->displayName) : QString()));
    return;
  }
  startButton_->setEnabled(false);
  SetIdle(false);
  setOutputPathButton_->setEnabled(false);
  outputPathEdit_->setEnabled(false);
  cancelButton_->setFocus();
  PushToControls();

  thread_ = std::make_unique<CConversionThread>(files_, settings_, *events_, cancel_);
  thread_->SetDiagnosticOutput(leftControlDown_);
  thread_->SetDiscardOutput(rightControlDown_);
  if (!thread_->Start()) {
    thread_.reset();
    ShowMessage(QMessageBox::Critical, QStringLiteral("The conversion could not be started."));
    ResetControls();
    UpdateStartButton();
  }
}

void CTonveloDlg::onCancel() {
  cancel_ = 1;
  statusLabel_->setText(QStringLiteral("Cancelling..."));
}

void CTonveloDlg::onStatus(const QString& text) { statusLabel_->setText(text); }

void CTonveloDlg::onProgress(int percent) { progressBar_->setValue(std::min(percent, 100)); }

void CTonveloDlg::onFinished(int result) {
  if (thread_) thread_->Join();
  thread_.reset();
  if (!closing_) {
    statusLabel_->clear();
    if (result == ToInt(Result::kSuccess)) {
      ShowMessage(QMessageBox::Information, QStringLiteral("Completed successfully"));
    } else if (result == ToInt(Result::kCancelled)) {
      ShowMessage(QMessageBox::Warning, QStringLiteral("Conversion cancelled"));
    } else if (result != ToInt(Result::kSourceDamaged) && result != ToInt(Result::kWriteError)) {
      ShowMessage(QMessageBox::Critical, QStringLiteral("An unknown error occurred"));
    }
    ResetControls();
    UpdateStartButton();
    if (startButton_->isEnabled()) startButton_->setFocus();
  }
  emit batchEnded(result);
}

void CTonveloDlg::done(int result) {
  if (closing_) return;  // a second close while the first waits for the worker
  if (thread_) {
    closing_ = true;
    events_->SetSilent(true);
    onCancel();
    // The worker may be waiting on a message box, which only this thread's
    // event loop can answer, so wait in a loop rather than block in Join().
    QEventLoop loop;
    connect(this, &CTonveloDlg::batchEnded, &loop, &QEventLoop::quit);
    if (thread_) loop.exec(QEventLoop::ExcludeUserInputEvents);
  }
  PullFromControls();
  store_.Save(settings_);
  closing_ = false;
  QDialog::done(result);
}

bool CTonveloDlg::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type == QEvent::KeyPress || type == QEvent::KeyRelease) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Control && !key->isAutoRepeat()) {
      const bool right = key->nativeVirtualKey() == kKeysymControlRight ||
                         key->nativeScanCode() == kWindowsScanControlRight;
      (right ? rightControlDown_ : leftControlDown_) = type == QEvent::KeyPress;
    }
    if (watched == fileList_ && type == QEvent::KeyPress && key->key() == Qt::Key_Delete) {
      if (thread_) return true;  // the worker is reading the list
      std::vector<int> rows;
      for (const QModelIndex& index : fileList_->selectionModel()->selectedRows())
        rows.push_back(index.row());
      std::sort(rows.rbegin(), rows.rend());
      for (int row : rows) files_.erase(files_.begin() + row);
      RefreshFileList();
      return true;
    }
  } else if (type == QEvent::ApplicationDeactivate) {
    // A release while another window has the focus never reaches us.
    leftControlDown_ = rightControlDown_ = false;
  }
  return QDialog::eventFilter(watched, event);
}

void CTonveloDlg::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void CTonveloDlg::dropEvent(QDropEvent* event) {
  if (thread_) return;
  for (const QUrl& url : event->mimeData()->urls()) {
    const QString path = QDir::toNativeSeparators(url.toLocalFile());
    if (path.isEmpty() || QFileInfo(path).isDir()) continue;
    if (HasSupportedExtension(path.toStdString())) AddEntry(path, {});
  }
  event->acceptProposedAction();
  RefreshFileList();
}

}  // namespace tonvelo

// The desktop dialogs driven as a user would: widgets found by object name,
// message boxes and file dialogs answered by a recording stand-in, settings in
// a temporary INI file, batches run on the real conversion thread.

#include "app/tonvelo_dlg.h"

#include <QtTest>
#include <QtWidgets>
#include <functional>

#include "app/advanced_dialog.h"
#include "app/qt_conversion_events.h"
#include "app/settings_store.h"
#include "app/user_prompts.h"
#include "decoders/disklavier_decoder.h"
#include "tests/support/midi_builder.h"
#include "tests/support/wav_builder.h"

namespace tonvelo {

using Message = std::pair<QMessageBox::Icon, QString>;

class FakePrompts : public CUserPrompts {
 public:
  void ShowMessage(QWidget*, QMessageBox::Icon icon, const QString& text) override {
    shown.push_back({icon, text});
  }
  QStringList GetOpenFileNames(QWidget*, const QString&, const QString&) override { return files; }
  QString GetExistingDirectory(QWidget*, const QString&) override { return folder; }
  std::vector<Message> shown;
  QStringList files;
  QString folder;
};

// One dialog over a fresh temporary folder and settings file.
struct Harness {
  QTemporaryDir dir;
  QString ini = dir.filePath("tonvelo.ini");
  CSettingsStore store{ini};
  FakePrompts prompts;
  CTonveloDlg dlg{store, prompts};
  Harness() { dlg.show(); }
  template <typename T>
  T* Find(const char* name) {
    T* w = dlg.findChild<T*>(QString::fromLatin1(name));
    if (w == nullptr) qFatal("no widget %s", name);
    return w;
  }
  // Near the left edge: a radio button stretched by its layout only takes
  // clicks on its indicator and label, not at the centre of its area.
  void Click(const char* name) {
    auto* button = Find<QAbstractButton>(name);
    const int inset = button->height() / 2;
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(inset, inset));
  }
  QString Path(const QString& name) const { return dir.filePath(name); }
  void AddFiles(const QStringList& files) {
    prompts.files = files;
    Click("addFilesButton");
  }
  void SelectFormat(int id) {
    auto* combo = Find<QComboBox>("formatCombo");
    combo->setCurrentIndex(combo->findData(id));
  }
  QStringList Listed() {
    QStringList rows;
    auto* list = Find<QListWidget>("fileList");
    for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
    return rows;
  }
  // Runs `act` on the modal Advanced dialog once it is open, then clicks Advanced.
  void WithAdvanced(std::function<void(CAdvancedDialog*)> act) {
    QTimer::singleShot(0, &dlg, [this, act] {
      auto* d = dlg.findChild<CAdvancedDialog*>();
      act(d);
      if (d->isVisible()) d->reject();  // a failed check inside must not hang the test
    });
    Click("advancedButton");
  }
};

// A song of `seconds` with one note, written as Disklavier tracks expect it.
QString WriteSong(const QString& path, uint32_t seconds) {
  test::MidiBuilder midi(0, 480);
  midi.AddTrack().Tempo(0, 500000).NoteOn(0, 0, 60, 100).NoteOff(seconds * 960, 0, 60).End();
  midi.Write(path.toStdString());
  return path;
}

void Touch(const QString& path) {
  QDir().mkpath(QFileInfo(path).path());
  QFile(path).open(QIODevice::WriteOnly);
}

class TonveloDlgTest : public QObject {
  Q_OBJECT

 private slots:
  void startNeedsFilesAndOutputPath_data() {
    QTest::addColumn<int>("fileCount");
    QTest::addColumn<bool>("custom");
    QTest::addColumn<QString>("folder");  // chosen with "Set Output Path", if any
    QTest::addColumn<bool>("enabled");
    QTest::newRow("empty list") << 0 << false << "" << false;
    QTest::newRow("beside the source") << 2 << false << "" << true;
    QTest::newRow("custom folder not set") << 2 << true << "" << false;
    QTest::newRow("custom folder set") << 2 << true << "/out" << true;
    QTest::newRow("folder but no file") << 0 << true << "/out" << false;
  }
  void startNeedsFilesAndOutputPath() {
    QFETCH(int, fileCount);
    QFETCH(bool, custom);
    QFETCH(QString, folder);
    QFETCH(bool, enabled);
    Harness h;
    QVERIFY(!h.Find<QPushButton>("startButton")->isEnabled());
    // The same file twice is listed twice; doubled separators collapse.
    h.AddFiles(QStringList(fileCount, "/music//rolls//song.mid"));
    QCOMPARE(h.Listed(), QStringList(fileCount, "/music/rolls/song.mid"));
    if (custom) h.Click("customPathRadio");
    QCOMPARE(h.Find<QPushButton>("setOutputPathButton")->isEnabled(), custom);
    h.prompts.folder = folder;
    if (!folder.isEmpty()) h.Click("setOutputPathButton");
    QCOMPARE(h.Find<QLineEdit>("outputPathEdit")->text(),
             folder.isEmpty() ? "Not set yet" : folder);
    QCOMPARE(h.Find<QPushButton>("startButton")->isEnabled(), enabled);
  }

  void dropTakesMusicFilesInOrder() {
    Harness h;
    QList<QUrl> urls;
    for (const char* name : {"b.MID", "a.Fil", "notes.txt", "Rolls/x.mid"}) {
      Touch(h.Path(name));
      urls << QUrl::fromLocalFile(h.Path(name));
    }
    urls.insert(3, QUrl::fromLocalFile(h.Path("Rolls")));
    QMimeData mime;
    mime.setUrls(urls);
    // Qt delivers a drop only to the widget that accepted the drag's entry.
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&h.dlg, &enter);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&h.dlg, &drop);
    QCOMPARE(h.Listed(), QStringList({h.Path("b.MID"), h.Path("a.Fil"), h.Path("Rolls/x.mid")}));
  }

  void addFolderMirrorsTheTree() {
    Harness h;
    for (const char* name : {"Rolls/z.esq", "Rolls/Sub/a.fil", "Rolls/b.mid", "Rolls/.hidden/c.mid",
                             "Rolls/readme.txt", "Empty/readme.txt"}) {
      Touch(h.Path(name));
    }
    h.prompts.folder = h.Path("Empty");
    h.Click("addFolderButton");
    QCOMPARE(h.prompts.shown,
             std::vector<Message>(
                 {{QMessageBox::Critical, "No supported files found in that location"}}));
    QVERIFY(h.dlg.Files().empty());

    h.prompts.folder = h.Path("Rolls");
    h.Click("addFolderButton");
    const std::string root = h.dir.path().toStdString();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {root + "/Rolls/b.mid", "Rolls/"},
        {root + "/Rolls/Sub/a.fil", "Rolls/Sub/"},
        {root + "/Rolls/z.esq", "Rolls/"}};
    std::vector<std::pair<std::string, std::string>> got;
    for (const FileEntry& e : h.dlg.Files()) got.push_back({e.sourcePath, e.subFolder});
    QVERIFY(got == expected);
    QVERIFY(h.Find<QPushButton>("startButton")->isEnabled());
  }

  void deleteRemovesSelectedRows() {
    Harness h;
    h.AddFiles({"/m/0.mid", "/m/1.mid", "/m/2.mid", "/m/3.mid", "/m/4.mid"});
    auto* list = h.Find<QListWidget>("fileList");
    for (int row : {4, 0, 2}) list->item(row)->setSelected(true);
    QTest::keyClick(list, Qt::Key_Delete);
    QCOMPARE(h.Listed(), QStringList({"/m/1.mid", "/m/3.mid"}));
    QTest::keyClick(list, Qt::Key_Delete);  // nothing selected
    QCOMPARE(h.Listed().size(), 2);
  }

  // A real Disklavier batch; right Control held at Start discards the output.
  void batchProducesTrack_data() {
    QTest::addColumn<bool>("rightControl");
    QTest::newRow("written") << false;
    QTest::newRow("right control discards") << true;
  }
  void batchProducesTrack() {
    QFETCH(bool, rightControl);
    Harness h;
    const QString song = WriteSong(h.Path("song.mid"), 2);
    h.AddFiles({song});
    h.SelectFormat(8);
    h.Click("prependCheck");
    auto* events = h.dlg.findChild<CQtConversionEvents*>("conversionEvents");
    QSignalSpy status(events, &CQtConversionEvents::statusChanged);
    QSignalSpy progress(events, &CQtConversionEvents::progressChanged);
    QSignalSpy ended(&h.dlg, &CTonveloDlg::batchEnded);
    // X11 keysym of the right Control key.
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 105, 0xffe4, 0);
    if (rightControl) QApplication::sendEvent(h.Find<QWidget>("startButton"), &press);
    h.Click("startButton");
    QVERIFY(h.dlg.IsConverting());
    QVERIFY(!h.Find<QPushButton>("addFilesButton")->isEnabled());
    QVERIFY(h.Find<QPushButton>("cancelButton")->isEnabled());
    QVERIFY(ended.wait(60000));
    QCOMPARE(ended.front().front().toInt(), 0);
    QCOMPARE(h.prompts.shown,
             std::vector<Message>({{QMessageBox::Information, "Completed successfully"}}));
    QCOMPARE(status.size(), 2);
    QCOMPARE(status[1][0].toString(), "Converting file 1 of 1\n" + song);
    for (qsizetype i = 1; i < progress.size(); ++i)
      QVERIFY(progress[i - 1][0].toInt() < progress[i][0].toInt());
    QCOMPARE(progress.back()[0].toInt(), 100);
    QVERIFY(h.Find<QPushButton>("addFilesButton")->isEnabled());
    QVERIFY(!h.Find<QPushButton>("cancelButton")->isEnabled());
    QCOMPARE(h.Find<QProgressBar>("progressBar")->value(), 0);

    const QString track = h.Path("disklavier_song.wav");
    QCOMPARE(QFileInfo::exists(track), !rightControl);
    if (rightControl) return;
    test::StereoWav wav;
    QVERIFY(test::ReadStereoWav(track.toStdString(), wav));
    const DecodedTrack decoded = DecodeDisklavier(wav.right.data(), wav.right.size(), 44100);
    QVERIFY(decoded.errors.empty());
    std::vector<test::Bytes> notes;
    for (const DecodedEvent& e : decoded.events) {
      if ((e.status & 0xE0) == 0x80) notes.push_back({e.status, e.data1, e.data2});
    }
    QVERIFY(notes == std::vector<test::Bytes>({{0x90, 60, 81}, {0x80, 60, 0x40}}));
  }

  // Ten minutes of music, stopped at the first progress: by Cancel (Delete
  // being ignored meanwhile) or by closing the window.
  void stopMidBatch_data() {
    QTest::addColumn<bool>("closeWindow");
    QTest::newRow("cancel") << false;
    QTest::newRow("close box") << true;
  }
  void stopMidBatch() {
    QFETCH(bool, closeWindow);
    Harness h;
    h.AddFiles({WriteSong(h.Path("song.mid"), 600)});
    h.SelectFormat(8);
    QSignalSpy ended(&h.dlg, &CTonveloDlg::batchEnded);
    h.Click("startButton");
    QTRY_VERIFY_WITH_TIMEOUT(h.Find<QProgressBar>("progressBar")->value() > 0, 30000);
    if (closeWindow) {
      h.dlg.close();
      QVERIFY(!h.dlg.IsConverting());
      QVERIFY(h.prompts.shown.empty());
      QVERIFY(QFileInfo::exists(h.ini));
    } else {
      auto* list = h.Find<QListWidget>("fileList");
      list->item(0)->setSelected(true);
      QTest::keyClick(list, Qt::Key_Delete);
      QCOMPARE(h.Listed().size(), 1);
      h.Click("cancelButton");
      QCOMPARE(h.Find<QLabel>("statusLabel")->text(), "Cancelling...");
      QVERIFY(ended.wait(30000));
      QCOMPARE(ended.front().front().toInt(), 2);
      QCOMPARE(h.prompts.shown,
               std::vector<Message>({{QMessageBox::Warning, "Conversion cancelled"}}));
    }
    QStringList left{"song.mid"};
    if (closeWindow) left << "tonvelo.ini";
    QCOMPARE(QDir(h.dir.path()).entryList(QDir::Files, QDir::Name), left);
  }

  // Defaults on first run, then a changed set saved by each way of closing.
  void settingsRoundTrip_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("exit") << "exit";
    QTest::newRow("escape") << "escape";
    QTest::newRow("close box") << "close";
  }
  void settingsRoundTrip() {
    QFETCH(QString, how);
    auto h = std::make_unique<Harness>();
    QVERIFY(h->Find<QRadioButton>("wavRadio")->isChecked());
    QCOMPARE(h->Find<QComboBox>("formatCombo")->currentText(), "Live Performance LX");
    QVERIFY(h->Find<QRadioButton>("sameAsSourceRadio")->isChecked());
    QCOMPARE(h->Find<QLineEdit>("outputPathEdit")->text(), "Not set yet");
    QVERIFY(!h->Find<QCheckBox>("prependCheck")->isChecked());

    h->Click("mp3Radio");
    h->Click("prependCheck");
    h->Click("customPathRadio");
    h->prompts.folder = "/srv/tracks";
    h->Click("setOutputPathButton");
    h->SelectFormat(9);
    h->WithAdvanced([](CAdvancedDialog* d) {
      for (const char* name :
           {"rate48000Radio", "disklavierRangeRadio", "synthesizedPedalingRadio"})
        d->findChild<QRadioButton*>(name)->click();
      d->findChild<QSlider*>("offsetSlider")->setValue(-150);
      d->findChild<QPushButton*>("okButton")->click();
    });
    if (how == "exit") h->Click("exitButton");
    if (how == "escape") QTest::keyClick(&h->dlg, Qt::Key_Escape);
    if (how == "close") h->dlg.close();
    QVERIFY(!h->dlg.isVisible());

    const ConversionSettings s = CSettingsStore(h->ini).Load();
    QCOMPARE(std::vector<int>({s.audioFileType, s.prependFormatKey, s.outputPathMode,
                               s.outputFormat, s.sampleRateChoice, s.velocityProfile,
                               s.synthPropPedaling, s.sustainTimingOffset}),
             std::vector<int>({1, 1, 1, 9, 1, 1, 1, -150}));
    QCOMPARE(s.customOutputFolder, "/srv/tracks");
    CSettingsStore again(h->ini);
    CTonveloDlg restored(again, h->prompts);
    QVERIFY(restored.findChild<QRadioButton*>("mp3Radio")->isChecked());
    QCOMPARE(restored.findChild<QComboBox*>("formatCombo")->currentText(),
             "Steinway Spirio (Silver)");
  }

  // Values no control can show are replaced when loaded.
  void storedValuesOutOfRange() {
    QTemporaryDir dir;
    const QString ini = dir.filePath("t.ini");
    {
      QSettings raw(ini, QSettings::IniFormat);
      for (auto [key, value] : {std::pair{"OutputFormat", "12"},
                                {"AudioFileType", "7"},
                                {"SampleRate", "2"},
                                {"SourceVelProfile", "-1"},
                                {"SynthPropPedaling", "5"},
                                {"PrependFormatID", "3"},
                                {"SustainTimingOffset", "-999"},
                                {"OutputPath", ""}}) {
        raw.setValue(key, value);
      }
    }
    const ConversionSettings s = CSettingsStore(ini).Load();
    QCOMPARE(
        std::vector<int>({s.outputFormat, s.audioFileType, s.sampleRateChoice, s.velocityProfile,
                          s.synthPropPedaling, s.prependFormatKey, s.sustainTimingOffset}),
        std::vector<int>({0, 0, 0, 0, 1, 1, -200}));
    QCOMPARE(s.customOutputFolder, "Not set yet");
  }

  // Pedaling options only for the LX family; Reset centres the slider, Cancel
  // brings the old offset back, OK with disabled options keeps them.
  void advancedDialog_data() {
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("pedaling");
    for (int id : {0, 1, 6, 9}) QTest::addRow("LX family id %d", id) << id << true;
    for (int id : {2, 4, 7, 8, 10}) QTest::addRow("id %d", id) << id << false;
  }
  void advancedDialog() {
    QFETCH(int, format);
    QFETCH(bool, pedaling);
    Harness h;
    h.SelectFormat(0);
    h.WithAdvanced([](CAdvancedDialog* d) {
      d->findChild<QRadioButton*>("synthesizedPedalingRadio")->click();
      d->findChild<QSlider*>("offsetSlider")->setValue(-150);
      d->findChild<QPushButton*>("okButton")->click();
    });
    h.SelectFormat(format);
    bool checked = false;
    h.WithAdvanced([&](CAdvancedDialog* d) {
      for (const char* group : {"pedalingGroup", "timingGroup"})
        QCOMPARE(d->findChild<QGroupBox*>(group)->isEnabled(), pedaling);
      QVERIFY(d->findChild<QGroupBox*>("sampleRateGroup")->isEnabled());
      auto* slider = d->findChild<QSlider*>("offsetSlider");
      QCOMPARE(slider->value(), -150);
      QCOMPARE(std::pair(slider->minimum(), slider->maximum()), std::pair(-200, 200));
      QCOMPARE(slider->tickInterval(), 20);
      d->findChild<QPushButton*>("resetButton")->click();  // a disabled button ignores it
      QCOMPARE(slider->value(), pedaling ? 0 : -150);
      QVERIFY(d->isVisible());
      d->findChild<QPushButton*>("cancelButton")->click();
      checked = true;
    });
    QVERIFY(checked);
    h.WithAdvanced([](CAdvancedDialog* d) {
      QCOMPARE(d->findChild<QSlider*>("offsetSlider")->value(), -150);
      d->findChild<QPushButton*>("okButton")->click();
    });
    h.Click("exitButton");
    const ConversionSettings s = CSettingsStore(h.ini).Load();
    QCOMPARE(std::pair(s.synthPropPedaling, s.sustainTimingOffset), std::pair(1, -150));
  }
};

}  // namespace tonvelo

QTEST_MAIN(tonvelo::TonveloDlgTest)
#include "tonvelo_dlg_test.moc"

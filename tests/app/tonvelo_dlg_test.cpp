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

using Messages = std::vector<std::pair<QMessageBox::Icon, QString>>;

class FakePrompts : public CUserPrompts {
 public:
  void ShowMessage(QWidget*, QMessageBox::Icon icon, const QString& text) override {
    shown.push_back({icon, text});
  }
  QStringList GetOpenFileNames(QWidget*, const QString&, const QString&) override { return files; }
  QString GetExistingDirectory(QWidget*, const QString&) override { return folder; }
  Messages shown;
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
  template <typename T = QWidget>
  T* Find(const char* name) {
    T* w = dlg.findChild<T*>(QString::fromLatin1(name));
    if (w == nullptr) qFatal("no widget %s", name);
    return w;
  }
  bool Enabled(const char* name) { return Find(name)->isEnabled(); }
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
  void DeleteRows(std::initializer_list<int> rows) {
    auto* list = Find<QListWidget>("fileList");
    for (int row : rows) list->item(row)->setSelected(true);
    QTest::keyClick(list, Qt::Key_Delete);
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
  // Synthesized pedaling and an offset of -150, confirmed with OK.
  void SetPedaling() {
    WithAdvanced([](CAdvancedDialog* d) {
      d->findChild<QRadioButton*>("synthesizedPedalingRadio")->click();
      d->findChild<QSlider*>("offsetSlider")->setValue(-150);
      d->findChild<QPushButton*>("okButton")->click();
    });
  }
  // A Disklavier batch of one song with one note held for `seconds`.
  QString StartSong(uint32_t seconds) {
    test::MidiBuilder midi(0, 480);
    midi.AddTrack().Tempo(0, 500000).NoteOn(0, 0, 60, 100).NoteOff(seconds * 960, 0, 60).End();
    midi.Write(Path("song.mid").toStdString());
    AddFiles({Path("song.mid")});
    SelectFormat(8);
    return Path("song.mid");
  }
};

void Touch(const QString& path) {
  QDir().mkpath(QFileInfo(path).path());
  QFile(path).open(QIODevice::WriteOnly);
}

class TonveloDlgTest : public QObject {
  Q_OBJECT

 private slots:
  // Start needs files and, for a custom folder, one chosen with "Set Output
  // Path"; the same file twice is listed twice; Delete removes selected rows.
  void fileListAndStartButton() {
    for (const auto& [files, custom, folder, enabled] :
         {std::tuple{0, false, "", false}, {2, false, "", true}, {2, true, "", false},
          {2, true, "/out", true}, {0, true, "/out", false}}) {
      Harness h;
      QVERIFY(!h.Enabled("startButton"));
      h.AddFiles(QStringList(files, "/music//rolls//song.mid"));
      QCOMPARE(h.Listed(), QStringList(files, "/music/rolls/song.mid"));  // separators collapse
      if (custom) h.Click("customPathRadio");
      QCOMPARE(h.Enabled("setOutputPathButton"), custom);
      h.prompts.folder = folder;
      if (*folder != 0) h.Click("setOutputPathButton");
      QCOMPARE(h.Find<QLineEdit>("outputPathEdit")->text(), *folder ? folder : "Not set yet");
      QCOMPARE(h.Enabled("startButton"), enabled);
    }
    Harness h;
    h.AddFiles({"/m/0.mid", "/m/1.mid", "/m/2.mid", "/m/3.mid", "/m/4.mid"});
    h.DeleteRows({4, 0, 2});
    QCOMPARE(h.Listed(), QStringList({"/m/1.mid", "/m/3.mid"}));
    h.DeleteRows({});  // nothing selected
    QCOMPARE(h.Listed().size(), 2);
  }

  // Drops and Add Folder take music files only, in order, hidden folders left
  // out; a folder without any is refused with a message.
  void dropAndAddFolder() {
    Harness h;
    QList<QUrl> urls;
    for (const char* name : {"b.MID", "a.Fil", "notes.txt", "Rolls/x.mid", "Rolls/z.esq",
                             "Rolls/Sub/a.fil", "Rolls/.hidden/c.mid", "Rolls/readme.txt",
                             "Empty/readme.txt"}) {
      Touch(h.Path(name));
      if (urls.size() < 4) urls << QUrl::fromLocalFile(h.Path(name));
    }
    urls.insert(3, QUrl::fromLocalFile(h.Path("Rolls")));  // a dropped folder is not searched
    QMimeData mime;
    mime.setUrls(urls);
    // Qt delivers a drop only to the widget that accepted the drag's entry.
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&h.dlg, &enter);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&h.dlg, &drop);
    QCOMPARE(h.Listed(), QStringList({h.Path("b.MID"), h.Path("a.Fil"), h.Path("Rolls/x.mid")}));
    Harness f;
    for (const char* name : {"Empty", "Rolls"}) {
      f.prompts.folder = h.Path(name);
      f.Click("addFolderButton");
    }
    QCOMPARE(f.prompts.shown, Messages({{QMessageBox::Critical, "No supported files found in "
                                                                "that location"}}));
    std::vector<std::pair<std::string, std::string>> got;
    for (const FileEntry& e : f.dlg.Files()) got.push_back({e.sourcePath, e.subFolder});
    const std::string root = h.dir.path().toStdString() + "/Rolls/";
    QVERIFY(got == decltype(got)({{root + "x.mid", "Rolls/"},
                                  {root + "Sub/a.fil", "Rolls/Sub/"},
                                  {root + "z.esq", "Rolls/"}}));
    QVERIFY(f.Enabled("startButton"));
  }

  // A real batch, written or discarded (right Control held at Start); then one
  // stopped at its first progress by Cancel (Delete being ignored meanwhile)
  // or by closing the window.
  void batchRunsAndStops() {
    for (const bool rightControl : {false, true}) {
      Harness h;
      const QString song = h.StartSong(2);
      h.Click("prependCheck");
      auto* events = h.dlg.findChild<CQtConversionEvents*>("conversionEvents");
      QSignalSpy status(events, &CQtConversionEvents::statusChanged);
      QSignalSpy progress(events, &CQtConversionEvents::progressChanged);
      QSignalSpy ended(&h.dlg, &CTonveloDlg::batchEnded);
      // X11 keysym of the right Control key.
      QKeyEvent press(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 105, 0xffe4, 0);
      if (rightControl) QApplication::sendEvent(h.Find("startButton"), &press);
      h.Click("startButton");
      QVERIFY(h.dlg.IsConverting() && !h.Enabled("addFilesButton") && h.Enabled("cancelButton"));
      QVERIFY(ended.wait(60000));
      QCOMPARE(ended.front().front().toInt(), 0);
      QCOMPARE(h.prompts.shown, Messages({{QMessageBox::Information, "Completed successfully"}}));
      QCOMPARE(status.size(), 2);
      QCOMPARE(status[1][0].toString(), "Converting file 1 of 1\n" + song);
      for (qsizetype i = 1; i < progress.size(); ++i)
        QVERIFY(progress[i - 1][0].toInt() < progress[i][0].toInt());
      QCOMPARE(progress.back()[0].toInt(), 100);
      QVERIFY(h.Enabled("addFilesButton") && !h.Enabled("cancelButton"));
      QCOMPARE(h.Find<QProgressBar>("progressBar")->value(), 0);
      test::StereoWav wav;
      QCOMPARE(test::ReadStereoWav(h.Path("disklavier_song.wav").toStdString(), wav), !rightControl);
      if (rightControl) continue;
      const DecodedTrack track = DecodeDisklavier(wav.right.data(), wav.right.size(), 44100);
      std::vector<test::Bytes> notes;
      for (const DecodedEvent& e : track.events)
        if ((e.status & 0xE0) == 0x80) notes.push_back({e.status, e.data1, e.data2});
      QVERIFY(track.errors.empty() && wav.rate == 44100 &&
              notes == std::vector<test::Bytes>({{0x90, 60, 81}, {0x80, 60, 0x40}}));
    }
    for (const bool closeWindow : {false, true}) {
      Harness h;
      h.StartSong(600);  // ten minutes
      QSignalSpy ended(&h.dlg, &CTonveloDlg::batchEnded);
      h.Click("startButton");
      QTRY_VERIFY_WITH_TIMEOUT(h.Find<QProgressBar>("progressBar")->value() > 0, 30000);
      QStringList left{"song.mid"};
      if (closeWindow) {
        h.dlg.close();
        QVERIFY(!h.dlg.IsConverting() && h.prompts.shown.empty());
        left << "tonvelo.ini";
      } else {
        h.DeleteRows({0});
        QCOMPARE(h.Listed().size(), 1);
        h.Click("cancelButton");
        QCOMPARE(h.Find<QLabel>("statusLabel")->text(), "Cancelling...");
        QVERIFY(ended.wait(30000));
        QCOMPARE(ended.front().front().toInt(), 2);
        QCOMPARE(h.prompts.shown, Messages({{QMessageBox::Warning, "Conversion cancelled"}}));
      }
      QCOMPARE(QDir(h.dir.path()).entryList(QDir::Files, QDir::Name), left);
    }
  }

  // Defaults on first run, then a changed set saved by each way of closing.
  void settingsRoundTrip() {
    for (const QString how : {"exit", "escape", "close"}) {
      Harness h;
      QVERIFY(h.Find<QRadioButton>("wavRadio")->isChecked() &&
              h.Find<QRadioButton>("sameAsSourceRadio")->isChecked() &&
              !h.Find<QCheckBox>("prependCheck")->isChecked());
      QCOMPARE(h.Find<QComboBox>("formatCombo")->currentText(), "Live Performance LX");
      QCOMPARE(h.Find<QLineEdit>("outputPathEdit")->text(), "Not set yet");
      for (const char* name : {"mp3Radio", "prependCheck", "customPathRadio"}) h.Click(name);
      h.prompts.folder = "/srv/tracks";
      h.Click("setOutputPathButton");
      h.SelectFormat(9);
      h.WithAdvanced([](CAdvancedDialog* d) {
        for (const char* name : {"rate48000Radio", "disklavierRangeRadio"})
          d->findChild<QRadioButton*>(name)->click();
        d->findChild<QPushButton*>("okButton")->click();
      });
      h.SetPedaling();
      if (how == "exit") h.Click("exitButton");
      if (how == "escape") QTest::keyClick(&h.dlg, Qt::Key_Escape);
      if (how == "close") h.dlg.close();
      QVERIFY(!h.dlg.isVisible());
      const ConversionSettings s = CSettingsStore(h.ini).Load();
      QCOMPARE(std::vector<int>({s.audioFileType, s.prependFormatKey, s.outputPathMode,
                                 s.outputFormat, s.sampleRateChoice, s.velocityProfile,
                                 s.synthPropPedaling, s.sustainTimingOffset}),
               std::vector<int>({1, 1, 1, 9, 1, 1, 1, -150}));
      QCOMPARE(s.customOutputFolder, "/srv/tracks");
      CSettingsStore again(h.ini);
      CTonveloDlg restored(again, h.prompts);
      QVERIFY(restored.findChild<QRadioButton*>("mp3Radio")->isChecked());
      QCOMPARE(restored.findChild<QComboBox*>("formatCombo")->currentText(),
               "Steinway Spirio (Silver)");
    }
  }

  // Values no control can show are replaced when loaded.
  void storedValuesOutOfRange() {
    QTemporaryDir dir;
    const QString ini = dir.filePath("t.ini");
    {
      QSettings raw(ini, QSettings::IniFormat);
      for (auto [key, value] : {std::pair{"OutputFormat", "12"}, {"AudioFileType", "7"},
                                {"SampleRate", "2"}, {"SourceVelProfile", "-1"},
                                {"SynthPropPedaling", "5"}, {"PrependFormatID", "3"},
                                {"SustainTimingOffset", "-999"}, {"OutputPath", ""}}) {
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
  void advancedDialog() {
    for (const auto& [format, pedaling] :
         {std::pair{0, true}, {1, true}, {6, true}, {9, true}, {2, false}, {4, false}, {7, false},
          {8, false}, {10, false}}) {
      Harness h;
      h.SelectFormat(0);
      h.SetPedaling();
      h.SelectFormat(format);
      bool checked = false;
      h.WithAdvanced([&, format = format, pedaling = pedaling](CAdvancedDialog* d) {
        for (const char* group : {"pedalingGroup", "timingGroup"})
          QCOMPARE(d->findChild<QGroupBox*>(group)->isEnabled(), pedaling);
        QVERIFY(d->findChild<QGroupBox*>("sampleRateGroup")->isEnabled());
        auto* slider = d->findChild<QSlider*>("offsetSlider");
        QCOMPARE(std::tuple(slider->value(), slider->minimum(), slider->maximum(),
                            slider->tickInterval()),
                 std::tuple(-150, -200, 200, 20));
        d->findChild<QPushButton*>("resetButton")->click();  // a disabled button ignores it
        QCOMPARE(slider->value(), pedaling ? 0 : -150);
        QVERIFY2(d->isVisible(), qPrintable(QString::number(format)));
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
  }
};

}  // namespace tonvelo

QTEST_MAIN(tonvelo::TonveloDlgTest)
#include "tonvelo_dlg_test.moc"

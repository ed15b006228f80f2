// The desktop dialogs driven as a user would: widgets found by object name,
// prompts answered by the harness, batches run on the real conversion thread.

#include "app/tonvelo_dlg.h"

#include <QtTest>
#include <QtWidgets>

#include "app/advanced_dialog.h"
#include "app/qt_conversion_events.h"
#include "app/settings_store.h"
#include "app/user_prompts.h"
#include "pipeline/track_check.h"
#include "tests/support/midi_builder.h"

namespace tonvelo {

using Messages = std::vector<std::pair<QMessageBox::Icon, QString>>;

// One dialog over a fresh folder and settings file; it answers its own prompts.
struct Harness : CUserPrompts {
  QTemporaryDir dir;
  QString ini = dir.filePath("tonvelo.ini");
  CSettingsStore store{ini};
  Messages shown;
  QStringList files;
  QString folder;
  CTonveloDlg dlg{store, *this};
  Harness() { dlg.show(); }
  void ShowMessage(QWidget*, QMessageBox::Icon icon, const QString& text) override {
    shown.push_back({icon, text});
  }
  QStringList GetOpenFileNames(QWidget*, const QString&, const QString&) override { return files; }
  QString GetExistingDirectory(QWidget*, const QString&) override { return folder; }
  template <typename T = QWidget>
  T* Find(const char* name) {
    if (T* w = dlg.findChild<T*>(name)) return w;
    qFatal("no widget %s", name);
  }
  bool Enabled(const char* name) { return Find(name)->isEnabled(); }
  bool Checked(const char* name) { return Find<QAbstractButton>(name)->isChecked(); }
  QString Text(const char* name) { return Find<QLineEdit>(name)->text(); }
  // Near the left edge: a radio button stretched by its layout only takes
  // clicks on its indicator and label, not at the centre of its area.
  void Click(const char* name) {
    const int inset = Find(name)->height() / 2;
    QTest::mouseClick(Find(name), Qt::LeftButton, {}, QPoint(inset, inset));
  }
  QString Path(const QString& name) const { return dir.filePath(name); }
  QStringList Listed() {
    QStringList rows;
    for (auto* item : Find<QListWidget>("fileList")->findItems("", Qt::MatchContains))
      rows << item->text();
    return rows;
  }
  void DeleteRows(std::initializer_list<int> rows) {
    for (int row : rows) Find<QListWidget>("fileList")->item(row)->setSelected(true);
    QTest::keyClick(Find("fileList"), Qt::Key_Delete);
  }
  void SelectFormat(int id) {
    auto* combo = Find<QComboBox>("formatCombo");
    combo->setCurrentIndex(combo->findData(id));
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
  // A Disklavier batch of one song: one note held for `seconds`.
  QString AddSong(uint32_t seconds) {
    test::MidiBuilder midi(0, 480);
    midi.AddTrack().Tempo(0, 500000).NoteOn(0, 0, 60, 100).NoteOff(seconds * 960, 0, 60).End();
    midi.Write(Path("song.mid").toStdString());
    files = QStringList{Path("song.mid")};
    Click("addFilesButton");
    SelectFormat(8);
    return files[0];
  }
};

class TonveloDlgTest : public QObject {
  Q_OBJECT

 private slots:
  // Start needs files and, for a custom folder, one chosen with "Set Output Path".
  void fileListAndStartButton() {
    Harness h;
    QVERIFY(!h.Enabled("startButton") && !h.Enabled("setOutputPathButton"));
    h.files = QStringList(2, "/music//rolls//song.mid");  // listed twice
    h.Click("addFilesButton");
    QCOMPARE(h.Listed(), QStringList(2, "/music/rolls/song.mid"));  // separators collapse
    QVERIFY(h.Enabled("startButton"));                              // beside the source
    h.Click("customPathRadio");
    QVERIFY(!h.Enabled("startButton") && h.Enabled("setOutputPathButton"));
    QCOMPARE(h.Text("outputPathEdit"), "Not set yet");
    h.folder = "/out";
    h.Click("setOutputPathButton");
    QVERIFY(h.Text("outputPathEdit") == "/out" && h.Enabled("startButton"));
    h.DeleteRows({0, 1});
    QVERIFY(!h.Enabled("startButton"));  // a folder but no file
    h.files = QStringList{"/m/0.mid", "/m/1.mid", "/m/2.mid", "/m/3.mid", "/m/4.mid"};
    h.Click("addFilesButton");
    h.DeleteRows({4, 0, 2});
    QCOMPARE(h.Listed(), QStringList({"/m/1.mid", "/m/3.mid"}));
    h.DeleteRows({});  // nothing selected
    QCOMPARE(h.Listed().size(), 2);
  }

  // Add Folder searches the tree (hidden folders left out) or says it found
  // nothing; drops take music files in order, and no folders.
  void addFolderAndDrop() {
    Harness h;
    for (const char* name :
         {"Empty/readme.txt", "Rolls/x.mid", "Rolls/z.esq", "Rolls/Sub/a.fil",
          "Rolls/.hidden/c.mid", "Rolls/readme.txt", "b.MID", "a.Fil", "t.txt"}) {
      QDir().mkpath(QFileInfo(h.Path(name)).path());
      QFile(h.Path(name)).open(QIODevice::WriteOnly);
    }
    for (const char* name : {"Empty", "Rolls"}) {
      h.folder = h.Path(name);
      h.Click("addFolderButton");
    }
    QCOMPARE(h.shown,
             Messages({{QMessageBox::Critical, "No supported files found in that location"}}));
    QVERIFY(h.Enabled("startButton"));
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(h.Path("b.MID")), QUrl::fromLocalFile(h.Path("a.Fil")),
                  QUrl::fromLocalFile(h.Path("t.txt")), QUrl::fromLocalFile(h.Path("Rolls")),
                  QUrl::fromLocalFile(h.Path("Rolls/x.mid"))});
    // Qt delivers a drop only to the widget that accepted the drag's entry.
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&h.dlg, &enter);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&h.dlg, &drop);
    QStringList got;  // each entry's source and its folder below the one added
    for (const FileEntry& e : h.dlg.Files())
      got << QString::fromStdString(e.sourcePath + " in " + e.subFolder);
    const QString r = h.Path("Rolls/");
    QCOMPARE(got, QStringList({r + "x.mid in Rolls/", r + "Sub/a.fil in Rolls/Sub/",
                               r + "z.esq in Rolls/", h.Path("b.MID in "), h.Path("a.Fil in "),
                               r + "x.mid in "}));
  }

  // A batch written, discarded (right Control held at Start), cancelled at its
  // first progress (Delete being ignored meanwhile), or ended by closing.
  void batch() {
    for (const QString how : {"write", "discard", "cancel", "close"}) {
      Harness h;
      const QString song = h.AddSong(how == "write" || how == "discard" ? 2 : 600);
      h.Click("prependCheck");
      auto* events = h.dlg.findChild<CQtConversionEvents*>("conversionEvents");
      QSignalSpy status(events, &CQtConversionEvents::statusChanged);
      QSignalSpy progress(events, &CQtConversionEvents::progressChanged);
      QSignalSpy ended(&h.dlg, &CTonveloDlg::batchEnded);
      // X11 keysym of the right Control key.
      QKeyEvent press(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 105, 0xffe4, 0);
      if (how == "discard") QApplication::sendEvent(h.Find("startButton"), &press);
      h.Click("startButton");
      QVERIFY(h.dlg.IsConverting() && !h.Enabled("addFilesButton") && h.Enabled("cancelButton"));
      if (how == "cancel" || how == "close")
        QTRY_VERIFY_WITH_TIMEOUT(h.Find<QProgressBar>("progressBar")->value() > 0, 30000);
      if (how == "close") {
        h.dlg.close();
        QVERIFY(!h.dlg.IsConverting() && h.shown.empty());
        QCOMPARE(QDir(h.dir.path()).entryList(QDir::Files),
                 QStringList({"song.mid", "tonvelo.ini"}));
        continue;
      }
      if (how == "cancel") {
        h.DeleteRows({0});
        QCOMPARE(h.Listed().size(), 1);
        h.Click("cancelButton");
        QCOMPARE(h.Find<QLabel>("statusLabel")->text(), "Cancelling...");
      }
      QVERIFY(ended.wait(60000));
      QCOMPARE(ended.front().front().toInt(), how == "cancel" ? 2 : 0);
      QCOMPARE(h.shown, how == "cancel"
                            ? Messages({{QMessageBox::Warning, "Conversion cancelled"}})
                            : Messages({{QMessageBox::Information, "Completed successfully"}}));
      QVERIFY(h.Enabled("addFilesButton") && !h.Enabled("cancelButton"));
      QCOMPARE(h.Find<QProgressBar>("progressBar")->value(), 0);
      QCOMPARE(status[1][0].toString(), "Converting file 1 of 1\n" + song);
      QCOMPARE(QDir(h.dir.path()).entryList(QDir::Files, QDir::Name),
               (how == "write" ? QStringList{"disklavier_song.wav", "song.mid"}
                               : QStringList{"song.mid"}));
      if (how == "cancel") continue;
      QCOMPARE(status.size(), 2);
      for (qsizetype i = 1; i < progress.size(); ++i)
        QVERIFY(progress[i - 1][0].toInt() < progress[i][0].toInt());
      QCOMPARE(progress.back()[0].toInt(), 100);
      if (how == "discard") continue;
      const std::string report =
          VerifyTrack(h.Path("disklavier_song.wav").toStdString(), song.toStdString(), {}).report;
      QVERIFY2(report.find("(id 8), 44100 Hz, data on the right channel\n") != std::string::npos &&
                   report.find("song.mid: agree, 2 of 2 notes") != std::string::npos,
               report.c_str());
    }
  }

  // Defaults on first run; pedaling options only for the LX family, Reset
  // centres the slider, Cancel brings the old offset back, OK with disabled
  // options keeps them; every way of closing saves the settings.
  void settingsAndAdvancedDialog() {
    for (const int format : {0, 1, 6, 9, 2, 4, 7, 8, 10}) {
      const bool lx = QList{0, 1, 6, 9}.contains(format);  // the LX family
      Harness h;
      QVERIFY(h.Checked("wavRadio") && h.Checked("sameAsSourceRadio") &&
              !h.Checked("prependCheck"));
      QCOMPARE(h.Find<QComboBox>("formatCombo")->currentText(), "Live Performance LX");
      QCOMPARE(h.Text("outputPathEdit"), "Not set yet");
      h.folder = "/srv/tracks";
      for (const char* name :
           {"mp3Radio", "prependCheck", "customPathRadio", "setOutputPathButton"})
        h.Click(name);
      h.WithAdvanced([](CAdvancedDialog* d) {
        for (const char* name :
             {"rate48000Radio", "disklavierRangeRadio", "synthesizedPedalingRadio"})
          d->findChild<QAbstractButton*>(name)->click();
        d->findChild<QSlider*>("offsetSlider")->setValue(-150);
        d->findChild<QAbstractButton*>("okButton")->click();
      });
      h.SelectFormat(format);
      bool checked = false;
      h.WithAdvanced([&](CAdvancedDialog* d) {
        for (const char* group : {"pedalingGroup", "timingGroup"})
          QCOMPARE(d->findChild<QGroupBox*>(group)->isEnabled(), lx);
        QVERIFY(d->findChild<QGroupBox*>("sampleRateGroup")->isEnabled());
        auto* slider = d->findChild<QSlider*>("offsetSlider");
        QCOMPARE(std::tuple(slider->value(), slider->minimum(), slider->maximum(),
                            slider->tickInterval()),
                 std::tuple(-150, -200, 200, 20));
        d->findChild<QAbstractButton*>("resetButton")->click();  // a disabled button ignores it
        QCOMPARE(slider->value(), lx ? 0 : -150);
        QVERIFY(d->isVisible());
        d->findChild<QAbstractButton*>("cancelButton")->click();
        checked = true;
      });
      QVERIFY(checked);
      h.WithAdvanced([](CAdvancedDialog* d) {
        QCOMPARE(d->findChild<QSlider*>("offsetSlider")->value(), -150);
        d->findChild<QAbstractButton*>("okButton")->click();
      });
      if (format % 3 == 0) h.Click("exitButton");                    // ids 0, 6, 9
      if (format % 3 == 1) QTest::keyClick(&h.dlg, Qt::Key_Escape);  // ids 1, 4, 7, 10
      if (format % 3 == 2) h.dlg.close();                            // ids 2, 8
      QVERIFY(!h.dlg.isVisible());
      const ConversionSettings s = CSettingsStore(h.ini).Load();
      QCOMPARE(std::vector<int>({s.audioFileType, s.prependFormatKey, s.outputPathMode,
                                 s.outputFormat, s.sampleRateChoice, s.velocityProfile,
                                 s.synthPropPedaling, s.sustainTimingOffset}),
               std::vector<int>({1, 1, 1, format, 1, 1, 1, -150}));
      QCOMPARE(s.customOutputFolder, "/srv/tracks");
      CSettingsStore again(h.ini);
      CTonveloDlg restored(again, h);
      QVERIFY(restored.findChild<QRadioButton*>("mp3Radio")->isChecked());
      QCOMPARE(restored.findChild<QComboBox*>("formatCombo")->currentData().toInt(), format);
    }
  }

  // Values no control can show are replaced when loaded.
  void storedValuesOutOfRange() {
    QTemporaryDir dir;
    QSettings raw(dir.filePath("t.ini"), QSettings::IniFormat);
    // clang-format off
    for (auto [key, value] : {std::pair{"OutputFormat", "12"}, {"AudioFileType", "7"}, {"SampleRate", "2"},
                              {"SourceVelProfile", "-1"}, {"SynthPropPedaling", "5"}, {"PrependFormatID", "3"},
                              {"SustainTimingOffset", "-999"}, {"OutputPath", ""}}) {
      // clang-format on
      raw.setValue(key, value);
    }
    raw.sync();
    const ConversionSettings s = CSettingsStore(raw.fileName()).Load();
    QCOMPARE(
        std::vector<int>({s.outputFormat, s.audioFileType, s.sampleRateChoice, s.velocityProfile,
                          s.synthPropPedaling, s.prependFormatKey, s.sustainTimingOffset}),
        std::vector<int>({0, 0, 0, 0, 1, 1, -200}));
    QCOMPARE(s.customOutputFolder, "Not set yet");
  }
};

}  // namespace tonvelo

QTEST_MAIN(tonvelo::TonveloDlgTest)
#include "tonvelo_dlg_test.moc"

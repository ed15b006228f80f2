// The desktop dialogs driven as a user would: widgets found by object name,
// prompts answered by the harness, batches run on the real conversion thread.

#include "app/tonvelo_dlg.h"

#include <QtTest>
#include <QtWidgets>

#include "app/advanced_dialog.h"
#include "app/settings_store.h"
#include "app/user_prompts.h"
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
    return dlg.findChild<T*>(name);
  }
  bool Enabled(const char* name) { return Find(name)->isEnabled(); }
  QString Text(const char* name) { return Find<QLineEdit>(name)->text(); }
  // Near the left edge: a stretched radio button takes clicks only on its label.
  void Click(const char* name) {
    const int inset = Find(name)->height() / 2;
    QTest::mouseClick(Find(name), Qt::LeftButton, {}, QPoint(inset, inset));
  }
  QString Path(const QString& name) const { return dir.filePath(name); }
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
};

class TonveloDlgTest : public QObject {
  Q_OBJECT

 private slots:
  // Start needs files and a chosen custom folder; Add Folder searches the tree or
  // says it found nothing; drops take music files in order, and no folders.
  void fileListFolderAndDrop() {
    Harness h;
    QVERIFY(!h.Enabled("startButton") && !h.Enabled("setOutputPathButton"));
    h.files = QStringList(2, "/music//rolls//song.mid");  // listed twice
    h.Click("addFilesButton");
    auto* list = h.Find<QListWidget>("fileList");
    QVERIFY(list->count() == 2 && list->item(1)->text() == "/music/rolls/song.mid");  // collapsed
    QVERIFY(h.Enabled("startButton"));  // beside the source
    h.Click("customPathRadio");
    QVERIFY(!h.Enabled("startButton") && h.Enabled("setOutputPathButton"));
    QCOMPARE(h.Text("outputPathEdit"), "Not set yet");
    h.folder = "/out";
    h.Click("setOutputPathButton");
    QVERIFY(h.Text("outputPathEdit") == "/out" && h.Enabled("startButton"));
    h.DeleteRows({0, 1});
    QVERIFY(!h.Enabled("startButton"));  // a folder but no file
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
      const bool stop = how == "cancel" || how == "close";
      test::MidiBuilder midi(0, 480);  // one note of 2 s, or of 10 minutes
      midi.AddTrack().NoteOn(0, 0, 60, 100).NoteOff(stop ? 576000 : 1920, 0, 60).End();
      midi.Write(h.Path("song.mid").toStdString());
      h.files = QStringList{h.Path("song.mid")};
      h.Click("addFilesButton");
      h.SelectFormat(8);
      h.Click("prependCheck");
      QSignalSpy ended(&h.dlg, &CTonveloDlg::batchEnded);
      // X11 keysym of the right Control key.
      QKeyEvent press(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 105, 0xffe4, 0);
      if (how == "discard") QApplication::sendEvent(h.Find("startButton"), &press);
      h.Click("startButton");
      QVERIFY(h.dlg.IsConverting() && !h.Enabled("addFilesButton") && h.Enabled("cancelButton"));
      if (stop) QTRY_VERIFY_WITH_TIMEOUT(h.Find<QProgressBar>("progressBar")->value() > 0, 30000);
      if (how == "close") {
        h.dlg.close();
        QVERIFY(!h.dlg.IsConverting() && h.shown.empty());
      } else {
        if (how == "cancel") {
          h.DeleteRows({0});
          QCOMPARE(h.Find<QListWidget>("fileList")->count(), 1);
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
      }
      QCOMPARE(QDir(h.dir.path()).entryList(QDir::Files).filter("song"),
               how == "write" ? QStringList({"disklavier_song.wav", "song.mid"})
                              : QStringList("song.mid"));
    }
  }

  // Defaults; LX-only options, Reset undone by Cancel, OK keeping disabled
  // options; every way of closing saves the settings.
  void settingsAndAdvancedDialog() {
    for (const int format : {0, 1, 6, 9, 2, 4, 7, 8, 10}) {
      const bool lx = QList{0, 1, 6, 9}.contains(format);  // the LX family
      Harness h;
      for (const char* name : {"wavRadio", "sameAsSourceRadio", "prependCheck"})
        QCOMPARE(h.Find<QAbstractButton>(name)->isChecked(), name[0] != 'p');
      QCOMPARE(h.Find<QComboBox>("formatCombo")->currentText(), "Live Performance LX");
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
      h.WithAdvanced([&](CAdvancedDialog* d) {
        for (const char* group : {"pedalingGroup", "timingGroup"})
          QCOMPARE(d->findChild<QGroupBox*>(group)->isEnabled(), lx);
        QVERIFY(d->findChild<QGroupBox*>("sampleRateGroup")->isEnabled());
        d->findChild<QAbstractButton*>("resetButton")->click();  // a disabled button ignores it
        QCOMPARE(d->findChild<QSlider*>("offsetSlider")->value(), lx ? 0 : -150);
        QVERIFY(d->isVisible());
        d->findChild<QAbstractButton*>(lx ? "cancelButton" : "okButton")->click();
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
    }
  }

  // Values no control can show are replaced when loaded.
  void storedValuesOutOfRange() {
    QTemporaryDir dir;
    QFile ini(dir.filePath("t.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(
        "[General]\nOutputFormat=12\nAudioFileType=7\nSampleRate=2\nSynthPropPedaling=5"
        "\nSustainTimingOffset=-999\nOutputPath=\n");
    ini.close();
    const ConversionSettings s = CSettingsStore(ini.fileName()).Load();
    QCOMPARE(std::vector<int>({s.outputFormat, s.audioFileType, s.sampleRateChoice,
                               s.synthPropPedaling, s.sustainTimingOffset}),
             std::vector<int>({0, 0, 0, 1, -200}));
    QCOMPARE(s.customOutputFolder, "Not set yet");
  }
};

}  // namespace tonvelo

QTEST_MAIN(tonvelo::TonveloDlgTest)
#include "tonvelo_dlg_test.moc"

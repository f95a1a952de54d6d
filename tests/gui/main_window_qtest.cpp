// The desktop program's main window, driven offscreen on a real FAT32 image made with
// mkfs.vfat and mcopy: opening, the settings group, the hex view and its keys, the lists, the
// deep scan with its dialogs, Pause and Stop, the branding file and the three languages.
// With VELLUMARK_SCREENSHOT_DIR set (run under xvfb-run) it also saves the screenshots of
// the documentation there.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "app/branding.h"
#include "app/text_table.h"
#include "gui/main_window.h"
#include "gui/start_up.h"
#include "gui/ui_support.h"
#include "platform/locale_code_page.h"

using namespace vellumark;
using namespace vellumark::gui;

namespace {

const std::string kCorpus = std::string(VELLUMARK_SOURCE_DIR) + "/tests/data/corpus/";

bool shell(const QString& command) { return std::system(("{ " + command + "; } >/dev/null 2>&1").toLocal8Bit().constData()) == 0; }

// Answers the message boxes that come up while `action` runs, recording their texts.
struct MessageBoxes {
  QStringList texts;
  QStringList captions;
  QMessageBox::StandardButton answer = QMessageBox::Ok;

  void during(const std::function<void()>& action) {
    QTimer timer;
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      texts << box->text();
      captions << box->windowTitle();
      QAbstractButton* button = box->button(answer);
      if (button == nullptr) button = box->buttons().value(0);
      if (button != nullptr) button->click();
    });
    timer.start();
    action();
  }
};

void writeBranding(const QString& folder, const std::vector<std::string>& lines) {
  const std::vector<std::uint8_t> bytes = brandingFileBytes(lines);
  std::ofstream out((folder + "/Vellumark.dll").toStdString(), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void saveShot(QWidget& widget, const char* name) {
  const QByteArray dir = qgetenv("VELLUMARK_SCREENSHOT_DIR");
  if (dir.isEmpty()) return;
  QTest::qWait(150);
  widget.grab().save(QString::fromLocal8Bit(dir) + "/" + name);
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString image_;
  NoDrives drives_;

  std::unique_ptr<MainWindow> openWindow(BrandingTexts branding = {}) {
    auto w = std::make_unique<MainWindow>((dir_.path() + "/").toStdString(), std::move(branding), drives_);
    w->setCaptions();
    w->show();
    return w;
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    if (!shell("command -v mkfs.vfat && command -v mcopy")) QSKIP("mkfs.vfat and mcopy (dosfstools, mtools) are needed");
    image_ = dir_.path() + "/fat32.img";
    QVERIFY(shell("truncate -s 40M '" + image_ + "' && mkfs.vfat -F 32 '" + image_ + "'"));
    for (const char* name : {"page-break-before.doc", "simple-list.doc", "60316.docx"})
      QVERIFY(shell(QString("MTOOLS_SKIP_CHECK=1 mcopy -i '%1' '%2%3' ::%3").arg(image_, QString::fromStdString(kCorpus), name)));
    QVERIFY(shell("MTOOLS_SKIP_CHECK=1 mdel -i '" + image_ + "' ::simple-list.doc"));
  }

  void languages() {
    QCOMPARE(platform::oemCodePageForLocale("zh_CN.UTF-8"), 936);
    QCOMPARE(platform::oemCodePageForLocale("zh_SG"), 936);
    QCOMPARE(platform::oemCodePageForLocale("zh_HK.UTF-8@x"), 950);
    QCOMPARE(platform::oemCodePageForLocale("zh_MO"), 950);
    QCOMPARE(platform::oemCodePageForLocale("de_DE.UTF-8"), 437);
    qputenv("LANG", "zh_TW.UTF-8");
    qputenv("VELLUMARK_LANG", "zh_CN");
    QCOMPARE(platform::oemCodePage(), 936);
    qputenv("VELLUMARK_LANG", "klingon");
    QCOMPARE(platform::oemCodePage(), 950);
    qunsetenv("VELLUMARK_LANG");
    qunsetenv("LANG");

    QCOMPARE(textSetForCodePage(950), TextSet::TraditionalChinese);
    QCOMPARE(textSetForCodePage(437), TextSet::English);
    // Every entry the English set uses has a text in both Chinese sets.
    for (int e = 0; e < kTextEntries; ++e) {
      const bool used = !uiText(TextSet::English, e).empty();
      QCOMPARE(!uiText(TextSet::SimplifiedChinese, e).empty(), used);
      QCOMPARE(!uiText(TextSet::TraditionalChinese, e).empty(), used);
    }
    QCOMPARE(uiFontName(TextSet::TraditionalChinese), std::string_view("細明體"));

    const std::pair<TextSet, const char*> expected[] = {
        {TextSet::English, "Open Drive"}, {TextSet::SimplifiedChinese, "打开分区"}, {TextSet::TraditionalChinese, "打開分區"}};
    for (const auto& [set, caption] : expected) {
      selectTextSet(set);
      auto w = openWindow();
      QCOMPARE(w->button1->text(), QString::fromUtf8(caption));
      QCOMPARE(w->comboBox3->count(), 3);
      // Captions in every language fit their controls (nothing overlaps in a row).
      QVERIFY(w->button1->geometry().right() < w->button10->geometry().left());
      QVERIFY(w->label7->geometry().left() > w->comboBox3->geometry().right());
      QVERIFY(w->button11->geometry().right() <= w->groupBox1->width());
      if (set == TextSet::SimplifiedChinese) {
        saveShot(*w, "main-collapsed-zh_CN.png");
        QVERIFY(w->openImagePath(image_));
        w->speedButton1->click();
        saveShot(*w, "main-expanded-zh_CN.png");
      }
      if (set == TextSet::English) saveShot(*w, "main-collapsed-en.png");
    }
    selectTextSet(TextSet::English);
  }

  void branding() {
    QTemporaryDir folder;
    writeBranding(folder.path(), {"  Acme Rescue ", "unused", " Call us ", "https://acme.example/", "more"});
    BrandingResult r = loadBranding((folder.path() + "/Vellumark.dll").toStdString());
    QCOMPARE(r.status, BrandingStatus::Loaded);
    QCOMPARE(r.texts.brandName, std::string("Acme Rescue"));
    QCOMPARE(r.texts.brandStatusText, std::string("Call us"));
    QCOMPARE(r.texts.brandLink, std::string("https://acme.example/"));

    auto named = openWindow(r.texts);
    QCOMPARE(named->windowTitle(), QString("Acme Rescue1.78"));
    QCOMPARE(named->statusPanels[2]->text(), QString("Call us"));
    QCOMPARE(named->statusPanels[3]->text(), QString("https://acme.example/"));
    // The link panel (right of x 650) opens the link; the view-folder button only a folder that exists.
    QStringList opened;
    named->openExternally = [&](const QString& target) { opened << target; };
    QTest::mouseClick(named->statusBar1, Qt::LeftButton, {}, QPoint(640, 5));
    QTest::mouseClick(named->statusBar1, Qt::LeftButton, {}, QPoint(700, 5));
    named->edit2->setText(dir_.path() + "/gone/");
    named->button7->click();
    named->edit2->setText(dir_.path() + "/");
    named->button7->click();
    QCOMPARE(opened, (QStringList{"https://acme.example/", dir_.path() + "/"}));
    auto plain = openWindow(BrandingTexts{"", "", "x"});
    QCOMPARE(plain->windowTitle(), QString("Vellumark 1.78"));
    QCOMPARE(plain->statusPanels[2]->text(), text(76));

    writeBranding(folder.path(), {"Acme", "", "status"});
    QCOMPARE(loadBranding((folder.path() + "/Vellumark.dll").toStdString()).status, BrandingStatus::Unusable);
    std::ofstream((folder.path() + "/Vellumark.dll").toStdString()) << "plain text, not zlib";
    QCOMPARE(loadBranding((folder.path() + "/Vellumark.dll").toStdString()).status, BrandingStatus::NotCompressed);

    // No branding file: entry 34, and the program must end.
    QTemporaryDir empty;
    MessageBoxes boxes;
    std::optional<BrandingTexts> loaded;
    boxes.during([&] { loaded = loadBrandingOrExplain((empty.path() + "/").toStdString()); });
    QVERIFY(!loaded);
    QCOMPARE(boxes.texts, QStringList{text(34)});

    MemoryStream s{{'a', 'b', 0, 0, 'c'}, 0};
    QCOMPARE(readCString(s), std::string("ab"));
    QCOMPARE(readCString(s), std::string());
    QCOMPARE(s.position, std::size_t{4});
    QCOMPARE(readCString(s), std::string("c"));
    QCOMPARE(readCString(s), std::string());
    QCOMPARE(s.position, std::size_t{5});
  }

  void openAndClose() {
    auto w = openWindow();
    QVERIFY(!w->groupBox1->isVisible());
    QVERIFY(w->openImagePath(image_));
    const std::int64_t last = w->state().geometry.lastSector;
    QCOMPARE(last, std::int64_t{40 * 1024 * 2 - 1});
    QVERIFY(w->groupBox1->isVisible());
    QCOMPARE(w->comboBox2->currentText(), QString("FAT32"));
    QCOMPARE(w->comboBox3->currentIndex(), 0);
    QVERIFY(!w->comboBox2->isEnabled() && !w->comboBox1->isEnabled());
    QVERIFY(w->checkBox8->isEnabled());
    QCOMPARE(w->edit3->text(), QString("0"));
    QCOMPARE(w->edit4->text(), QString::number(last));
    QCOMPARE(w->statusPanels[1]->text(), "Total Sectors: " + QString::number(last + 1));
    QCOMPARE(w->label16->text(), QString("Opened: fat32.img"));
    QVERIFY(!w->button1->isEnabled() && !w->button10->isEnabled());

    // "Formatted" opens the type and cluster lists; "deleted" locks them again.
    emit w->comboBox3->activated(1);
    QVERIFY(w->comboBox2->isEnabled());
    w->comboBox3->setCurrentIndex(0);
    emit w->comboBox3->activated(0);
    QVERIFY(!w->comboBox2->isEnabled());
    w->speedButton1->click();
    QCOMPARE(w->height(), kExpandedHeight);
    saveShot(*w, "main-expanded-en.png");

    w->button2->click();
    QVERIFY(!w->groupBox1->isVisible() && w->button10->isEnabled() && !w->checkBox8->isEnabled());
    QVERIFY(w->memo1->toPlainText().isEmpty() && !w->edit1->isEnabled());
    MessageBoxes boxes;
    boxes.during([&] { QVERIFY(!w->openImagePath(dir_.path() + "/missing.img")); });
    QCOMPARE(boxes.texts, QStringList{text(48)});
  }

  void driveList() {
    const QString proc =
        "major minor  #blocks  name\n\n   8  0  41943040 sda\n   8  1  1 sda1\n   8  2  40960 sda2\n"
        "   7  0  1024 loop0\n 254  0  268435456 vda\n";
    auto disk = [](const QString& name) { return name == "sda" || name == "vda"; };
    const auto volumes = partitionEntries(proc, false, disk);
    QCOMPARE(volumes.size(), std::size_t{1});
    QCOMPARE(volumes[0].path, std::string("/dev/sda2"));
    QCOMPARE(volumes[0].text, std::string("/dev/sda2 (40.00 MB)"));
    QCOMPARE(partitionEntries(proc, true, disk).size(), std::size_t{2});

    // Opening the chosen entry opens its path; one that cannot be opened is entry 16.
    struct Listed final : DriveLister {
      std::string image;
      std::vector<DriveEntry> volumes() override { return {{"IMAGE: [FAT32]", image, DriveKind::Fixed}}; }
      std::vector<DriveEntry> physicalDisks() override { return {{"HD9 none", "/nonexistent/disk", DriveKind::Fixed}}; }
    } listed;
    listed.image = image_.toStdString();
    MainWindow w((dir_.path() + "/").toStdString(), {}, listed);
    w.setCaptions();
    w.show();
    QCOMPARE(w.driveComboBox1->count(), 2);
    w.button1->click();
    QVERIFY(w.groupBox1->isVisible());
    QCOMPARE(w.statusPanels[0]->text(), QString("Sector Size: 512"));
    QCOMPARE(w.label16->text(), QString("Opened: IMAGE: [FAT32]"));
    w.button2->click();
    w.driveComboBox1->setCurrentIndex(1);
    MessageBoxes boxes;
    boxes.during([&] { w.button1->click(); });
    QCOMPARE(boxes.texts, QStringList{text(16)});
    QVERIFY(!w.groupBox1->isVisible());
  }

  void hexView() {
    auto w = openWindow();
    w->speedButton1->click();
    QVERIFY(w->openImagePath(image_));
    const std::int64_t last = w->state().geometry.lastSector;
    QStringList lines = w->memo1->toPlainText().split('\n');
    QCOMPARE(lines.size(), 17);
    QCOMPARE(lines[0].size(), 117);
    QVERIFY2(lines[1].startsWith("000: EB58 90"), qPrintable(lines[1]));
    QVERIFY(!w->button3->isEnabled() && !w->button8->isEnabled() && w->button4->isEnabled());

    auto sector = [&] { return w->edit1->text().toLongLong(); };
    w->button4->click();
    QCOMPARE(sector(), 1);
    QTest::keyClick(w->edit1, Qt::Key_Down);
    QCOMPARE(sector(), 2);
    QTest::keyClick(w->edit1, Qt::Key_PageDown);
    QCOMPARE(sector(), 12);
    QTest::keyClick(w->edit1, Qt::Key_PageUp);
    QTest::keyClick(w->edit1, Qt::Key_PageUp);
    QCOMPARE(sector(), 0);
    QTest::keyClick(w->edit1, Qt::Key_Up);
    QCOMPARE(sector(), 0);
    w->button9->click();
    QCOMPARE(sector(), last);
    QVERIFY(!w->button4->isEnabled() && !w->button9->isEnabled() && w->button3->isEnabled());
    w->button3->click();
    QTest::keyClick(w->edit1, Qt::Key_PageDown);
    QCOMPARE(sector(), last);

    w->edit1->setText("6");
    QTest::keyClick(w->edit1, Qt::Key_Return);
    QCOMPARE(sector(), 6);
    // Sector 6 of a FAT32 volume is the backup boot sector.
    QVERIFY(w->memo1->toPlainText().split('\n')[1].startsWith("000: EB58 90"));
    for (const QString& typed : {QString("abc"), QString::number(last + 1), QString("-1")}) {
      MessageBoxes boxes;
      w->edit1->setText(typed);
      boxes.during([&] { QTest::keyClick(w->edit1, Qt::Key_Return); });
      QCOMPARE(boxes.texts, QStringList{text(19)});
      QCOMPARE(boxes.captions, QStringList{text(17)});
    }
    w->button8->click();
    QCOMPARE(sector(), 0);
  }

  void deepScan() {
    auto w = openWindow();
    QVERIFY(w->openImagePath(image_));
    const QString out = dir_.path() + "/out";
    QVERIFY(QDir().mkpath(out));
    w->edit2->setText(out + "/");
    bool searchShown = false;
    bool recoveryShown = false;
    QTimer watch;
    watch.setInterval(1);
    connect(&watch, &QTimer::timeout, [&] {
      searchShown |= w->searchDialog().isVisible();
      recoveryShown |= w->recoveryDialog().isVisible();
      if (w->recoveryDialog().isVisible()) saveShot(w->recoveryDialog(), "recovery-dialog-en.png");
    });
    watch.start();
    MessageBoxes boxes;
    boxes.during([&] { w->button12->click(); });
    watch.stop();
    QCOMPARE(boxes.texts.size(), 1);
    QCOMPARE(boxes.captions.first(), text(29));
    QVERIFY2(boxes.texts.first().startsWith("Rescued file "), qPrintable(boxes.texts.first()));
    const int recovered = boxes.texts.first().mid(13).toInt();
    QVERIFY2(recovered >= 3, qPrintable(boxes.texts.first()));  // the deleted document too
    QCOMPARE(w->statusPanels[0]->text(), boxes.texts.first());
    QCOMPARE(int(QDir(out).entryList(QDir::Files).size()), recovered);
    // The deleted document comes back byte for byte.
    QFile original(QString::fromStdString(kCorpus) + "simple-list.doc");
    QVERIFY(original.open(QIODevice::ReadOnly));
    const QByteArray wanted = original.readAll();
    bool found = false;
    for (const QFileInfo& f : QDir(out).entryInfoList(QDir::Files)) {
      QFile file(f.filePath());
      found |= file.open(QIODevice::ReadOnly) && file.readAll() == wanted;
    }
    QVERIFY(found);

    // "Scan free space only" leaves the two files still on the volume alone.
    const QString freeOut = dir_.path() + "/free";
    QVERIFY(QDir().mkpath(freeOut));
    w->edit2->setText(freeOut + "/");
    w->checkBox8->setChecked(true);
    MessageBoxes freeBoxes;
    freeBoxes.during([&] { w->button12->click(); });
    QCOMPARE(freeBoxes.texts, QStringList{text(27) + "1"});
    w->checkBox8->setChecked(false);
    QVERIFY(recoveryShown);
    QVERIFY(w->isVisible() && !w->searchDialog().isVisible() && !w->recoveryDialog().isVisible());
    Q_UNUSED(searchShown);

    // Refusals come back as the table's messages: no family chosen.
    for (QCheckBox* box : {w->chkDOC, w->chkXLS, w->chkPPT}) box->click();
    QCOMPARE(w->state().typeFlags, 0u);
    MessageBoxes refused;
    refused.during([&] { w->button12->click(); });
    QCOMPARE(refused.texts, QStringList{text(20)});
  }

  // A document that cannot be written asks Abort/Retry/Ignore; Abort ends the carving.
  void saveFailure() {
    const QString mountPoint = dir_.path() + "/full";
    QVERIFY(QDir().mkpath(mountPoint));
    if (!shell("mount -t tmpfs -o size=4k tmpfs '" + mountPoint + "'")) QSKIP("cannot mount a tmpfs here");
    auto w = openWindow();
    QVERIFY(w->openImagePath(image_));
    w->edit2->setText(mountPoint + "/");
    MessageBoxes boxes;
    boxes.answer = QMessageBox::Abort;
    boxes.during([&] { w->button12->click(); });
    QVERIFY(shell("umount '" + mountPoint + "'"));
    QCOMPARE(boxes.texts.size(), 2);
    QVERIFY2(boxes.texts[0].startsWith(text(28)), qPrintable(boxes.texts[0]));
    QCOMPARE(boxes.captions[0], text(61));
    QCOMPARE(boxes.texts[1], text(27) + "0");
  }

  void pauseAndStop() {
    auto w = openWindow();
    QVERIFY(w->openImagePath(image_));
    const QString out = dir_.path() + "/stopped";
    QVERIFY(QDir().mkpath(out));
    w->edit2->setText(out + "/");
    RecoveryDialog& form2 = w->recoveryDialog();
    int step = 0;
    QElapsedTimer clock;
    qint64 pausedFor = 0;
    qint64 stopPressedAt = 0;
    std::uint32_t recoveredWhilePaused = 0;
    QTimer driver;
    driver.setInterval(1);
    connect(&driver, &QTimer::timeout, [&] {
      if (!form2.isVisible()) return;
      if (step == 0) {
        form2.speedButton1->click();   // pause
        form2.speedButton1->click();   // and resume
        QCOMPARE(w->state().recoveryState.load(), std::uint8_t{kRecoveryRunning});
        form2.speedButton1->click();   // pause again
        recoveredWhilePaused = w->state().recoveredCount;
        // The frame cannot close the dialog while the carving runs.
        form2.close();
        QVERIFY(form2.isVisible());
        clock.start();
        step = 1;
      } else if (step == 1 && clock.elapsed() >= 300) {
        pausedFor = clock.elapsed();
        QCOMPARE(w->state().recoveredCount, recoveredWhilePaused);
        form2.button2->click();        // stop while paused
        stopPressedAt = clock.elapsed();
        step = 2;
      }
    });
    driver.start();
    MessageBoxes boxes;
    boxes.during([&] { w->button12->click(); });
    driver.stop();
    const qint64 stoppedAfter = clock.elapsed() - stopPressedAt;
    QCOMPARE(step, 2);
    QVERIFY(pausedFor >= 300);
    QVERIFY2(stoppedAfter < 200, qPrintable(QString::number(stoppedAfter)));
    QCOMPARE(boxes.texts, QStringList{"Rescued file " + QString::number(recoveredWhilePaused)});
    QCOMPARE(recoveredWhilePaused, 0u);
  }

  void backupButton() {
    auto w = openWindow();
    QVERIFY(w->openImagePath(image_));
    const QString copy = dir_.path() + "/copy.img";
    w->chooseBackupFile = [&] { return copy; };
    w->edit4->setText("2047");
    MessageBoxes boxes;
    boxes.during([&] { w->button11->click(); });
    QCOMPARE(boxes.texts, QStringList{text(47)});
    QCOMPARE(QFileInfo(copy).size(), qint64{2048 * 512});
    w->edit3->setText("9");
    w->edit4->setText("3");
    MessageBoxes refused;
    refused.during([&] { w->button11->click(); });
    QCOMPARE(refused.texts, QStringList{text(35)});
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_qtest.moc"

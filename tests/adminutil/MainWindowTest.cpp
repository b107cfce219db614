// The main window on the offscreen platform, driven through its widgets and menu: opening and
// closing a database, the corrections and their error box, the help page and the About box.
// Screenshots of the window and the About box are kept in the build tree.
#include "AdminFixture.h"
#include "adminutil/NodeListModel.h"
#include "adminutil/UAbout.h"
#include "adminutil/UMain.h"

#include <QAction>
#include <QApplication>
#include <QDateEdit>
#include <QDesktopServices>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

#include <csignal>
#include <filesystem>
#include <functional>
#include <sys/resource.h>

namespace {

const QDate FixtureQDate(2026, 3, 14);

// Answers the modal boxes a handler opens: message boxes are noted and closed, an About box
// is handed to OnAbout. Also notes whether a progress box was up while a handler ran.
class TModalWatcher {
public:
    TModalWatcher() {
        QObject::connect(&Timer, &QTimer::timeout, [this] { Look(); });
        Timer.start(5);
    }

    QStringList Messages;
    QStringList Titles;
    bool HasSeenProgress = false;
    std::function<void(TAboutBox&)> OnAbout;
    // Handed the progress box each time it is seen up.
    std::function<void(QProgressDialog&)> OnProgress;

private:
    void Look() {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* progress = qobject_cast<QProgressDialog*>(widget); progress && widget->isVisible()) {
                HasSeenProgress = true;
                if (OnProgress) OnProgress(*progress);
            }
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            Messages << box->text();
            Titles << box->windowTitle();
            box->done(QMessageBox::Ok);
        } else if (auto* about = qobject_cast<TAboutBox*>(modal)) {
            if (OnAbout) OnAbout(*about);
            OnAbout = nullptr;
        }
    }

    QTimer Timer;
};

// Takes the URLs the window would hand to the desktop.
class TUrlCatcher : public QObject {
    Q_OBJECT
public:
    TUrlCatcher() {
        for (const char* scheme : {"file", "http", "https"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "Open");
    }
    ~TUrlCatcher() override {
        for (const char* scheme : {"file", "http", "https"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
    Q_INVOKABLE void Open(const QUrl& url) { Urls << url; }

    QList<QUrl> Urls;
};

void SaveArtifact(QWidget& widget, const char* name) {
    QDir().mkpath(QStringLiteral(ARTIFACT_DIR));
    QString file = QStringLiteral(ARTIFACT_DIR "/") + QString::fromLatin1(name);
    EXPECT_TRUE(widget.grab().save(file)) << file.toStdString();
}

} // namespace

class MainWindowTest : public AdminDatabaseTest {
protected:
    void SetUp() override {
        AdminDatabaseTest::SetUp();
        Form.show();
    }

    void Open() {
        Form.OpenDatabase(QString::fromStdString(FileName));
        ASSERT_TRUE(Form.Session().IsOpen());
    }

    // Selects the list row showing Page.
    void SelectPage(const QString& page) {
        QAbstractItemModel* model = Form.nodes->model();
        for (int row = 0; row < model->rowCount(); ++row) {
            QModelIndex index = model->index(row, 0);
            if (model->data(index).toString() != page) continue;
            Form.nodes->setCurrentIndex(index);
            return;
        }
        FAIL() << "no row for " << page.toStdString();
    }

    QString HitsCellOf(const QString& page) const {
        QAbstractItemModel* model = Form.nodes->model();
        for (int row = 0; row < model->rowCount(); ++row)
            if (model->data(model->index(row, 0)).toString() == page)
                return model->data(model->index(row, 1)).toString();
        return {};
    }

    bool AreTabsEnabled() const {
        for (int i = 0; i < Form.pages->count(); ++i)
            if (!Form.pages->isTabEnabled(i)) return false;
        return true;
    }

    TForm1 Form;
    TModalWatcher Watcher;
};

TEST_F(MainWindowTest, RaisesAPageOnADayThroughTheListAndTheApplyButton) {
    Open();
    EXPECT_TRUE(Form.pages->isVisible());
    EXPECT_TRUE(AreTabsEnabled());
    EXPECT_EQ(Form.pages->currentWidget(), Form.tsnode);
    EXPECT_EQ(Form.nodes->model()->rowCount(), 2);
    EXPECT_EQ(Form.nodes->model()->headerData(0, Qt::Horizontal).toString(), "Node name");
    EXPECT_EQ(HitsCellOf(FixturePage), "5");
    EXPECT_EQ(Form.seall->value(), FixtureTotalHosts);
    EXPECT_FALSE(OpenCounter(FileName)) << "the web program got the open database";

    SelectPage(FixturePage);
    Form.dpnode->setDate(FixtureQDate);
    EXPECT_EQ(Form.senodes->value(), FixturePageHits);
    SaveArtifact(Form, "tallbrook-main-window.png");

    Form.senodes->setValue(8);
    Form.Button1->click();
    EXPECT_TRUE(Watcher.Messages.isEmpty()) << Watcher.Messages.join(", ").toStdString();
    EXPECT_EQ(HitsCellOf(FixturePage), "8");
    Form.ToolButton2->trigger();
    EXPECT_FALSE(Form.pages->isVisible());
    EXPECT_FALSE(AreTabsEnabled());
    EXPECT_EQ(Form.nodes->model()->rowCount(), 0);
    EXPECT_EQ(Form.seall->value(), 0);

    TRef<ICounter> counter = Reopen();
    ASSERT_TRUE(counter);
    EXPECT_EQ(counter->GetHitsByDate(FixturePage, FixtureDay), 8);
    EXPECT_EQ(counter->GetHitsByDate("", FixtureDay), 8);
    EXPECT_EQ(PageCount(*counter, FixturePage), 8);
    EXPECT_EQ(counter->GetHitsByDate(FixturePage, FixtureDay + 1), 0);
    EXPECT_EQ(PageCount(*counter, OtherPage), OtherPageHits);
}

TEST_F(MainWindowTest, ShowsARefusedLowerValueInAnErrorBoxAndNeedsASelectedRow) {
    Open();
    Form.senodes->setValue(99);
    Form.Button1->click(); // no row selected: nothing
    Form.dpnode->setDate(FixtureQDate);
    EXPECT_EQ(Form.senodes->value(), 99);
    EXPECT_TRUE(Watcher.Messages.isEmpty());

    SelectPage(FixturePage);
    Form.dpnode->setDate(FixtureQDate);
    Form.senodes->setValue(FixturePageHits - 1);
    Form.Button1->click();
    ASSERT_EQ(Watcher.Messages, QStringList{"You can't set new value of this parameter - below old value."});
    EXPECT_EQ(Watcher.Titles, QStringList{"Tallbrook"});

    Form.seall->setValue(FixtureTotalHosts - 10);
    Form.Button2->click();
    EXPECT_EQ(Watcher.Messages.size(), 2);
    Form.CloseDatabase();

    TRef<ICounter> counter = Reopen();
    ASSERT_TRUE(counter);
    EXPECT_EQ(counter->GetHitsByDate(FixturePage, FixtureDay), FixturePageHits);
    EXPECT_EQ(counter->GetTotalHosts(), FixtureTotalHosts);
}

TEST_F(MainWindowTest, RaisesTotalHostsAndHostsAndHitsByDate) {
    Open();
    Form.pages->setCurrentWidget(Form.tsall);
    Form.seall->setValue(100);
    Form.Button2->click();

    Form.pages->setCurrentWidget(Form.tsdate);
    EXPECT_EQ(Form.Label8->text(), QString::number(FixtureDayHosts));
    EXPECT_EQ(Form.Label9->text(), QString::number(FixturePageHits + OtherPageHits));
    Form.dphosts->setDate(FixtureQDate);
    EXPECT_EQ(Form.sehosts->value(), FixtureDayHosts);
    Form.sehosts->setValue(6);
    Form.Button3->click();
    EXPECT_EQ(Form.Label8->text(), "6");
    Form.dphits->setDate(FixtureQDate);
    EXPECT_EQ(Form.sehits->value(), FixturePageHits);
    Form.sehits->setValue(9);
    Form.Button4->click();
    EXPECT_EQ(Form.Label9->text(), QString::number(9 + OtherPageHits));
    SaveArtifact(Form, "tallbrook-dates-page.png");
    EXPECT_TRUE(Watcher.Messages.isEmpty()) << Watcher.Messages.join(", ").toStdString();
    Form.ToolButton3->trigger(); // "Exit program" closes the database first

    EXPECT_FALSE(Form.Session().IsOpen());
    TRef<ICounter> counter = Reopen();
    ASSERT_TRUE(counter);
    EXPECT_EQ(counter->GetTotalHosts(), 100);
    EXPECT_EQ(counter->GetHostsByDate(FixtureDay), 6);
    EXPECT_EQ(counter->GetHitsByDate("", FixtureDay), 9);
}

TEST_F(MainWindowTest, AMissingOrBusyFileShowsDisabledPagesOnly) {
    std::string missing = Temp.File("gone.ostra");
    Form.OpenDatabase(QString::fromStdString(missing));
    EXPECT_TRUE(Form.pages->isVisible());
    EXPECT_FALSE(AreTabsEnabled());
    EXPECT_FALSE(std::filesystem::exists(missing));

    TRef<ICounter> holder = OpenCounter(FileName);
    ASSERT_TRUE(holder);
    Form.OpenDatabase(QString::fromStdString(FileName));
    EXPECT_FALSE(Form.Session().IsOpen());
    EXPECT_FALSE(AreTabsEnabled());
    EXPECT_TRUE(Watcher.Messages.isEmpty());
}

TEST_F(MainWindowTest, ALongCorrectionShowsProgressAndKeepsTheWindowServed) {
    constexpr int Extra = 2000;
    Open();
    Form.pages->setCurrentWidget(Form.tsdate);
    Form.dphits->setDate(FixtureQDate);
    Form.sehits->setValue(FixturePageHits + Extra);
    Form.Button4->click();
    EXPECT_TRUE(Watcher.HasSeenProgress);
    EXPECT_EQ(Form.Label9->text(), QString::number(FixturePageHits + OtherPageHits + Extra));
    Form.CloseDatabase();
    TRef<ICounter> counter = Reopen();
    ASSERT_TRUE(counter);
    EXPECT_EQ(counter->GetHitsByDate("", FixtureDay), FixturePageHits + Extra);
}

void PressKey(QWidget* widget, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
}

TEST_F(MainWindowTest, ALongCorrectionStopsOnCancelOrEscapeAndShowsTheValueReached) {
    constexpr int32_t Hours = 2147483647; // a slip of the finger: hours of bookings
    Open();
    Form.pages->setCurrentWidget(Form.tsdate);
    Form.dphits->setDate(FixtureQDate);
    Form.sehits->setValue(Hours);
    Watcher.OnProgress = [](QProgressDialog& box) { PressKey(&box, Qt::Key_Escape); };
    Form.Button4->click();
    int32_t reached = Form.sehits->value();
    EXPECT_GT(reached, FixturePageHits);
    EXPECT_LT(reached, Hours);
    EXPECT_EQ(Form.Label9->text(), QString::number(reached + OtherPageHits));

    Form.pages->setCurrentWidget(Form.tsnode);
    SelectPage(OtherPage);
    Form.dpnode->setDate(FixtureQDate);
    Form.senodes->setValue(Hours);
    Watcher.OnProgress = [](QProgressDialog& box) {
        for (QPushButton* button : box.findChildren<QPushButton*>())
            if (button->text() == "Cancel") button->click();
    };
    Form.Button1->click();
    int32_t pageReached = Form.senodes->value();
    EXPECT_GT(pageReached, 0);
    EXPECT_LT(pageReached, Hours);
    EXPECT_EQ(HitsCellOf(OtherPage), QString::number(OtherPageHits + pageReached));
    EXPECT_TRUE(Watcher.Messages.isEmpty()) << Watcher.Messages.join(", ").toStdString();
    Form.CloseDatabase();

    TRef<ICounter> counter = Reopen();
    ASSERT_TRUE(counter);
    EXPECT_EQ(counter->GetHitsByDate("", FixtureDay), reached + pageReached);
    EXPECT_EQ(counter->GetHitsByDate(OtherPage, FixtureDay), pageReached);
}

TEST_F(MainWindowTest, TheKeyboardWorksAsTheMouseAndAClosedDatabaseLeavesNoValues) {
    Open();
    Form.dpnode->setDate(FixtureQDate);
    Form.nodes->setFocus();
    PressKey(Form.nodes, Qt::Key_Home);
    EXPECT_EQ(Form.nodes->model()->data(Form.nodes->currentIndex()).toString(), FixturePage);
    EXPECT_EQ(Form.senodes->value(), FixturePageHits);
    PressKey(Form.nodes, Qt::Key_Down);
    EXPECT_EQ(Form.senodes->value(), 0);
    Form.dpnode->setDate(FixtureQDate.addDays(-1));
    EXPECT_EQ(Form.senodes->value(), OtherPageHits);
    PressKey(Form.nodes, Qt::Key_Up);
    EXPECT_EQ(Form.senodes->value(), 0);

    // Every menu and entry has its own Alt letter.
    QSet<QKeySequence> letters;
    int entries = 0;
    for (QAction* menu : Form.MainMenu1->actions()) {
        letters << QKeySequence::mnemonic(menu->text());
        ++entries;
        for (QAction* entry : menu->menu()->actions()) {
            if (entry->isSeparator()) continue;
            EXPECT_FALSE(QKeySequence::mnemonic(entry->text()).isEmpty()) << entry->text().toStdString();
        }
    }
    EXPECT_EQ(letters, (QSet<QKeySequence>{QKeySequence(Qt::ALT | Qt::Key_F), QKeySequence(Qt::ALT | Qt::Key_H)}));
    EXPECT_EQ(Form.ToolButton1->text().remove('&'), "Open Kestrow Database");
    EXPECT_EQ(Form.Help1->text().remove('&'), "Help ");

    Form.pages->setCurrentWidget(Form.tsdate);
    EXPECT_FALSE(Form.Label8->text().isEmpty());
    Form.CloseDatabase();
    TRef<ICounter> holder = OpenCounter(FileName);
    ASSERT_TRUE(holder);
    Form.OpenDatabase(QString::fromStdString(FileName)); // busy: disabled pages
    EXPECT_TRUE(Form.pages->isVisible());
    EXPECT_FALSE(AreTabsEnabled());
    for (QSpinBox* box : {Form.seall, Form.senodes, Form.sehits, Form.sehosts}) EXPECT_EQ(box->value(), 0);
    EXPECT_TRUE(Form.Label8->text().isEmpty());
    EXPECT_TRUE(Form.Label9->text().isEmpty());
    EXPECT_EQ(Form.nodes->model()->rowCount(), 0);
}

TEST_F(MainWindowTest, PageNamesThatAreNotUtf8ShowAsWindows1252) {
    {
        TRef<ICounter> counter = Reopen();
        ASSERT_TRUE(counter);
        counter->AddNode("caf\xE9.html");       // sent from a page without a character set
        counter->AddNode("caf\xC3\xA9-2.html"); // UTF-8
        counter->AddNode("\x80 \x81\x9F");
    }
    Open();
    QStringList shown;
    for (int row = 0; row < Form.nodes->model()->rowCount(); ++row)
        shown << Form.nodes->model()->data(Form.nodes->model()->index(row, 0)).toString();
    EXPECT_TRUE(shown.contains(QString::fromUtf8("caf\u00E9.html"))) << shown.join("|").toStdString();
    EXPECT_TRUE(shown.contains(QString::fromUtf8("caf\u00E9-2.html")));
    EXPECT_TRUE(shown.contains(QString::fromUtf8("\u20AC \u0081\u0178")));
    EXPECT_EQ(DisplayText("\xC3\xA9\xC3"), QString::fromUtf8("\u00C3\u00A9\u00C3")) << "a cut UTF-8 sequence";
    EXPECT_EQ(DisplayText("\xED\xA0\x80"), QString::fromUtf8("\u00ED\u00A0\u20AC")) << "an encoded surrogate";
}

// Makes every file write past the first bytes fail (EFBIG) while it lives.
class TFileSizeLimit {
public:
    TFileSizeLimit() {
        getrlimit(RLIMIT_FSIZE, &Saved);
        SavedSignal = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = Saved;
        limit.rlim_cur = 512;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~TFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &Saved);
        signal(SIGXFSZ, SavedSignal);
    }

private:
    rlimit Saved{};
    sighandler_t SavedSignal;
};

TEST_F(MainWindowTest, AFailedCommitOnCloseIsShownInAnErrorBox) {
    Open();
    Form.pages->setCurrentWidget(Form.tsdate);
    Form.dphits->setDate(FixtureQDate);
    Form.sehits->setValue(FixturePageHits + 300);
    Form.Button4->click();
    {
        TFileSizeLimit noWrites;
        Form.ToolButton2->trigger();
    }
    ASSERT_EQ(Watcher.Messages.size(), 1);
    EXPECT_TRUE(Watcher.Messages[0].contains("File too large")) << Watcher.Messages[0].toStdString();
    EXPECT_FALSE(Form.Session().IsOpen());
    EXPECT_FALSE(Form.pages->isVisible());
}

class HelpAndAboutTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        Saved = std::filesystem::current_path();
        std::filesystem::create_directory(Temp.Path() / "bin");
        std::filesystem::current_path(Temp.Path() / "bin");
    }
    void TearDown() override { std::filesystem::current_path(Saved); }

    std::filesystem::path Saved;
    TUrlCatcher Catcher;
};

TEST_F(HelpAndAboutTest, HelpOpensThePageBesideTheProgramFolderOrSaysItIsMissing) {
    Form.Help1->trigger();
    EXPECT_EQ(Watcher.Messages, QStringList{"File not found: \"../kestrow.html\""});
    EXPECT_TRUE(Catcher.Urls.isEmpty());
    EXPECT_EQ(Form.Help1->shortcut(), QKeySequence(Qt::Key_F1));

    TTempDir::WriteBytes(Temp.File("kestrow.html"), {'<', 'p', '>'});
    Form.Help1->trigger();
    ASSERT_EQ(Catcher.Urls.size(), 1);
    EXPECT_EQ(Catcher.Urls[0], QUrl::fromLocalFile(QString::fromStdString(Temp.File("kestrow.html"))));
}

TEST_F(HelpAndAboutTest, AboutShowsTheProgramVersionAndLinksToTheMaker) {
    QString version;
    Watcher.OnAbout = [&](TAboutBox& box) {
        version = box.Label2->text() + box.lvers->text();
        SaveArtifact(box, "tallbrook-about-box.png");
        box.FormClick();
        box.BitBtn1->click();
    };
    Form.About1->trigger();
    EXPECT_EQ(version, "v1.0.0.0");
    ASSERT_EQ(Catcher.Urls.size(), 1);
    EXPECT_EQ(Catcher.Urls[0], QUrl(QString::fromLatin1(MakerURL)));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(Form.findChildren<TAboutBox*>().isEmpty()) << "the About box was not freed";
}

#include "MainWindowTest.moc"

// The main window's widgets and handlers. Handlers read the widgets, call the session and
// show the results; every exception ends in an error box inside the handler that met it.
#include "adminutil/UMain.h"

#include "adminutil/NodeListModel.h"
#include "adminutil/UAbout.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDate>
#include <QDateEdit>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTabWidget>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <exception>
#include <limits>

namespace {

const char* const HelpFile = "../kestrow.html";
const QString Caption = QStringLiteral("Tallbrook");
constexpr int WindowWidth = 500, WindowHeight = 340;
constexpr int NodeNameColumnWidth = 100;
// A correction with at least this many bookings shows a progress box.
constexpr int64_t ProgressThreshold = 500;
// How often the window is repainted while booking.
constexpr qint64 RepaintIntervalMs = 50;
constexpr int ProgressSteps = 1000;

TDateTime ToDateTime(const QDate& date) { return EncodeDate(date.year(), date.month(), date.day()); }

std::string FileNameBytes(const QString& fileName) { return QFile::encodeName(fileName).toStdString(); }

QSpinBox* MakeSpinEdit(QWidget* parent) {
    auto* edit = new QSpinBox(parent);
    // No limits: a damaged total reads as -1 and must still show.
    edit->setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    edit->setMinimumWidth(120);
    return edit;
}

QDateEdit* MakeDatePicker(QWidget* parent) {
    auto* picker = new QDateEdit(QDate::currentDate(), parent);
    picker->setCalendarPopup(true);
    return picker;
}

QPushButton* MakeApplyButton(QWidget* parent) { return new QPushButton(QStringLiteral("Apply"), parent); }

} // namespace

TForm1::TForm1(QWidget* Parent) : QMainWindow(Parent) {
    setWindowTitle(Caption);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    NodesModel = std::make_unique<TNodeListModel>(FSession);
    CreateMenu();
    CreatePages();

    od = new QFileDialog(this);
    od->setDefaultSuffix(QStringLiteral("ostra"));
    od->setNameFilters({QStringLiteral("Kestrow DataBase (*.ostra)"), QStringLiteral("All Files (*)")});
    od->setFileMode(QFileDialog::ExistingFile);
    od->setAcceptMode(QFileDialog::AcceptOpen);
    od->setDirectory(QDir::currentPath());

    setFixedSize(WindowWidth, WindowHeight);
    if (QScreen* screen = this->screen()) move(screen->availableGeometry().center() - rect().center());
}

TForm1::~TForm1() = default;

void TForm1::CreateMenu() {
    // The "&" marks each entry's letter for the keyboard (Alt+F opens "File"); it is not shown.
    MainMenu1 = menuBar();
    QMenu* file = MainMenu1->addMenu(QStringLiteral("&File"));
    ToolButton1 = file->addAction(QStringLiteral("&Open Kestrow Database"));
    ToolButton2 = file->addAction(QStringLiteral("&Close DataBase"));
    file->addSeparator();
    ToolButton3 = file->addAction(QStringLiteral("E&xit program"));
    QMenu* help = MainMenu1->addMenu(QStringLiteral("&Help"));
    Help1 = help->addAction(QStringLiteral("&Help "));
    Help1->setShortcut(QKeySequence(Qt::Key_F1));
    About1 = help->addAction(QStringLiteral("&About"));

    connect(ToolButton1, &QAction::triggered, this, &TForm1::ToolButton1Click);
    connect(ToolButton2, &QAction::triggered, this, &TForm1::ToolButton2Click);
    connect(ToolButton3, &QAction::triggered, this, &TForm1::ToolButton3Click);
    connect(Help1, &QAction::triggered, this, &TForm1::Help1Click);
    connect(About1, &QAction::triggered, this, &TForm1::About1Click);
}

void TForm1::CreatePages() {
    pages = new QTabWidget(this);
    tsnode = CreateNodePage();
    tsall = CreateAllHostsPage();
    tsdate = CreateDatePage();
    pages->addTab(tsnode, QStringLiteral("Node's stats"));
    pages->addTab(tsall, QStringLiteral("All hosts"));
    pages->addTab(tsdate, QStringLiteral("Hits/Hosts by dates"));
    setCentralWidget(pages);
    DisablePages();
    pages->hide();
    connect(pages, &QTabWidget::currentChanged, this, [this](int index) {
        if (pages->widget(index) == tsdate) tsdateShow();
    });
}

QWidget* TForm1::CreateNodePage() {
    auto* page = new QWidget;
    nodes = new QTreeView(page);
    nodes->setModel(NodesModel.get());
    nodes->setRootIsDecorated(false);
    nodes->setUniformRowHeights(true);
    nodes->setItemsExpandable(false);
    nodes->setSelectionMode(QAbstractItemView::SingleSelection);
    nodes->setSelectionBehavior(QAbstractItemView::SelectRows);
    nodes->setEditTriggers(QAbstractItemView::NoEditTriggers);
    nodes->header()->setStretchLastSection(true);
    nodes->setColumnWidth(0, NodeNameColumnWidth);
    dpnode = MakeDatePicker(page);
    senodes = MakeSpinEdit(page);
    Button1 = MakeApplyButton(page);

    auto* left = new QVBoxLayout;
    left->addWidget(new QLabel(QStringLiteral("Nodes"), page));
    left->addWidget(nodes);
    auto* right = new QVBoxLayout;
    right->addWidget(new QLabel(QStringLiteral("Date to set"), page));
    right->addWidget(dpnode);
    right->addWidget(new QLabel(QStringLiteral("Hits"), page));
    right->addWidget(senodes);
    right->addWidget(Button1);
    right->addStretch();
    auto* layout = new QHBoxLayout(page);
    layout->addLayout(left, 1);
    layout->addLayout(right);

    connect(nodes, &QAbstractItemView::clicked, this, &TForm1::nodesDblClick);
    connect(nodes, &QAbstractItemView::doubleClicked, this, &TForm1::nodesDblClick);
    // A row chosen with the arrow keys reads its hits as a click does.
    connect(nodes->selectionModel(), &QItemSelectionModel::selectionChanged, this, &TForm1::nodesDblClick);
    connect(dpnode, &QDateEdit::dateChanged, this, &TForm1::dpnodeChange);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    return page;
}

QWidget* TForm1::CreateAllHostsPage() {
    auto* page = new QWidget;
    seall = MakeSpinEdit(page);
    Button2 = MakeApplyButton(page);
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("All hosts:"), page));
    row->addWidget(seall);
    row->addWidget(Button2);
    row->addStretch();
    auto* layout = new QVBoxLayout(page);
    layout->addLayout(row);
    layout->addStretch();
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    return page;
}

QWidget* TForm1::CreateDatePage() {
    auto* page = new QWidget;
    Lbd = new QLabel(QStringLiteral("Hosts by date:"), page);
    dphosts = MakeDatePicker(page);
    sehosts = MakeSpinEdit(page);
    Button3 = MakeApplyButton(page);
    dphits = MakeDatePicker(page);
    sehits = MakeSpinEdit(page);
    Button4 = MakeApplyButton(page);
    Label8 = new QLabel(page);
    Label9 = new QLabel(page);

    auto* grid = new QGridLayout;
    grid->addWidget(Lbd, 0, 0);
    grid->addWidget(dphosts, 0, 1);
    grid->addWidget(sehosts, 0, 2);
    grid->addWidget(Button3, 0, 3);
    grid->addWidget(new QLabel(QStringLiteral("Hits by date:"), page), 1, 0);
    grid->addWidget(dphits, 1, 1);
    grid->addWidget(sehits, 1, 2);
    grid->addWidget(Button4, 1, 3);
    auto* summary = new QGridLayout;
    summary->addWidget(new QLabel(QStringLiteral("Current summary values:"), page), 0, 0, 1, 2);
    summary->addWidget(new QLabel(QStringLiteral("Hosts"), page), 1, 0);
    summary->addWidget(Label8, 1, 1);
    summary->addWidget(new QLabel(QStringLiteral("Hits"), page), 2, 0);
    summary->addWidget(Label9, 2, 1);
    summary->setColumnStretch(2, 1);
    auto* layout = new QVBoxLayout(page);
    layout->addLayout(grid);
    layout->addSpacing(16);
    layout->addLayout(summary);
    layout->addStretch();

    connect(dphosts, &QDateEdit::dateChanged, this, &TForm1::dphostsChange);
    connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
    connect(dphits, &QDateEdit::dateChanged, this, &TForm1::dphitsChange);
    connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
    return page;
}

template <class F> void TForm1::Handle(F&& Action) {
    if (IsBooking) return;
    try {
        Action();
    } catch (const std::exception& error) {
        ShowError(QString::fromUtf8(error.what()));
    } catch (...) {
        ShowError(QStringLiteral("Unknown error"));
    }
}

void TForm1::ShowError(const QString& Text) { QMessageBox::critical(this, Caption, Text); }

void TForm1::OpenDatabase(const QString& FileName) {
    if (FSession.IsOpen()) CloseDatabase();
    pages->show();
    if (!QFileInfo(FileName).isFile()) return;
    bool isOpen = false;
    {
        NodesModel->BeginListChange();
        auto endChange = qScopeGuard([this] { NodesModel->EndListChange(); });
        isOpen = FSession.Open(FileNameBytes(FileName));
    }
    if (!isOpen) return;

    QDate today = QDate::currentDate();
    {
        // Set by the program, not chosen by the user: no change handlers.
        QSignalBlocker hits(dphits), hosts(dphosts), node(dpnode);
        dphits->setDate(today);
        dphosts->setDate(today);
        dpnode->setDate(today);
    }
    senodes->setValue(0);
    seall->setValue(FSession.GetTotalHosts());
    sehits->setValue(FSession.GetSiteHits(ToDateTime(today)));
    sehosts->setValue(FSession.GetSiteHosts(ToDateTime(today)));
    EnablePages();
}

void TForm1::CloseDatabase() {
    QString failure;
    NodesModel->BeginListChange();
    try {
        FSession.Close();
    } catch (const std::exception& error) {
        failure = QString::fromUtf8(error.what());
    }
    NodesModel->EndListChange();
    seall->setValue(0);
    senodes->setValue(0);
    sehits->setValue(0);
    sehosts->setValue(0);
    // Nothing of the closed database stays in view.
    Label8->clear();
    Label9->clear();
    DisablePages();
    pages->hide();
    if (!failure.isEmpty()) ShowError(failure);
}

void TForm1::EnablePages() {
    for (int i = 0; i < pages->count(); ++i) pages->setTabEnabled(i, true);
    pages->setCurrentIndex(0);
}

void TForm1::DisablePages() {
    for (int i = 0; i < pages->count(); ++i) pages->setTabEnabled(i, false);
}

int TForm1::SelectedNode() const {
    QModelIndexList rows = nodes->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void TForm1::ReloadNodes() {
    int row = SelectedNode();
    NodesModel->BeginListChange();
    NodesModel->EndListChange();
    if (row >= 0 && row < NodesModel->rowCount()) nodes->setCurrentIndex(NodesModel->index(row, 0));
}

void TForm1::RunBookings(const std::function<void(const TBookingProgress&)>& Book) {
    std::unique_ptr<QProgressDialog> progressBox;
    QElapsedTimer sinceRepaint;
    sinceRepaint.start();
    IsBooking = true;
    auto done = qScopeGuard([this] { IsBooking = false; });
    Book([&](int64_t booked, int64_t total) {
        if (total < ProgressThreshold) return true;
        if (sinceRepaint.elapsed() < RepaintIntervalMs && booked < total) return true;
        sinceRepaint.restart();
        if (!progressBox) {
            // Cancel (or Escape) stops after the booking under way; what is booked stays.
            progressBox = std::make_unique<QProgressDialog>(QStringLiteral("Booking %1 corrections...").arg(total),
                                                            QStringLiteral("Cancel"), 0, ProgressSteps, this);
            progressBox->setWindowTitle(Caption);
            // Escape rejects the box; it must stop the booking, not only hide the box.
            connect(progressBox.get(), &QDialog::rejected, progressBox.get(), &QProgressDialog::cancel);
            progressBox->setWindowModality(Qt::WindowModal);
            progressBox->setMinimumDuration(0);
            progressBox->setAutoClose(false);
        }
        progressBox->setValue(int(booked * ProgressSteps / total));
        QCoreApplication::processEvents();
        return !progressBox->wasCanceled();
    });
}

void TForm1::ToolButton1Click() {
    Handle([this] {
        if (od->exec() != QDialog::Accepted) return;
        QStringList files = od->selectedFiles();
        if (!files.isEmpty()) OpenDatabase(files.first());
    });
}

void TForm1::ToolButton2Click() {
    Handle([this] { CloseDatabase(); });
}

void TForm1::ToolButton3Click() {
    Handle([this] {
        CloseDatabase();
        QCoreApplication::quit();
    });
}

void TForm1::Help1Click() {
    Handle([] {
        QString path = QDir::current().filePath(QString::fromLatin1(HelpFile));
        if (!QFileInfo::exists(path)) throw Exception(std::string("File not found: \"") + HelpFile + "\"");
        QUrl url = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
        if (!QDesktopServices::openUrl(url)) throw Exception(std::string("Cannot open \"") + HelpFile + "\"");
    });
}

void TForm1::About1Click() {
    Handle([this] {
        auto* box = new TAboutBox(this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->exec();
    });
}

void TForm1::nodesDblClick() {
    Handle([this] {
        int row = SelectedNode();
        if (row < 0 || !FSession.IsOpen()) return;
        senodes->setValue(FSession.GetNodeHits(row, ToDateTime(dpnode->date())));
    });
}

void TForm1::dpnodeChange() { nodesDblClick(); }

void TForm1::Button1Click() {
    Handle([this] {
        int row = SelectedNode();
        if (row < 0 || !FSession.IsOpen()) return;
        TDateTime date = ToDateTime(dpnode->date());
        int32_t value = senodes->value();
        RunBookings([&](const TBookingProgress& progress) { FSession.RaiseNodeHits(row, date, value, progress); });
        // The session has loaded the page list again; nothing ran in between, so the view
        // saw no half-changed list.
        ReloadNodes();
        // The value reached, also when the booking was stopped.
        senodes->setValue(FSession.GetNodeHits(row, date));
    });
}

void TForm1::Button2Click() {
    Handle([this] {
        if (FSession.IsOpen()) FSession.RaiseTotalHosts(seall->value());
    });
}

void TForm1::dphostsChange() {
    Handle([this] {
        if (!FSession.IsOpen()) return;
        sehosts->setValue(FSession.GetSiteHosts(ToDateTime(dphosts->date())));
    });
}

void TForm1::Button3Click() {
    Handle([this] {
        if (!FSession.IsOpen()) return;
        TDateTime date = ToDateTime(dphosts->date());
        int32_t value = sehosts->value();
        RunBookings([&](const TBookingProgress& progress) { FSession.RaiseSiteHosts(date, value, progress); });
        sehosts->setValue(FSession.GetSiteHosts(date));
        Label8->setText(QString::number(FSession.GetAllDaysHosts()));
    });
}

void TForm1::dphitsChange() {
    Handle([this] {
        if (!FSession.IsOpen()) return;
        sehits->setValue(FSession.GetSiteHits(ToDateTime(dphits->date())));
    });
}

void TForm1::Button4Click() {
    Handle([this] {
        if (!FSession.IsOpen()) return;
        TDateTime date = ToDateTime(dphits->date());
        int32_t value = sehits->value();
        RunBookings([&](const TBookingProgress& progress) { FSession.RaiseSiteHits(date, value, progress); });
        sehits->setValue(FSession.GetSiteHits(date));
        Label9->setText(QString::number(FSession.GetAllDaysHits()));
    });
}

void TForm1::tsdateShow() {
    Handle([this] {
        if (!FSession.IsOpen()) return;
        sehits->setValue(FSession.GetSiteHits(ToDateTime(dphits->date())));
        sehosts->setValue(FSession.GetSiteHosts(ToDateTime(dphosts->date())));
        Label8->setText(QString::number(FSession.GetAllDaysHosts()));
        Label9->setText(QString::number(FSession.GetAllDaysHits()));
    });
}

void TForm1::closeEvent(QCloseEvent* Event) {
    if (IsBooking) {
        Event->ignore();
        return;
    }
    CloseDatabase();
    Event->accept();
}

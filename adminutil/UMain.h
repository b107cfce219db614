// The main window of tallbrook: menu, the three tab pages and their handlers. The database
// work itself lives in TCounterSession; this unit only moves values between it and widgets.
#pragma once

#include "adminutil/CounterSession.h"

#include <QMainWindow>

#include <functional>
#include <memory>

class QAction;
class QDateEdit;
class QFileDialog;
class QLabel;
class QMenuBar;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTreeView;
class QWidget;
class TNodeListModel;

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    // FormCreate: the file dialog starts in the process's current directory.
    explicit TForm1(QWidget* Parent = nullptr);
    ~TForm1() override;

    // Opens FileName (closing the open database first). A missing file or one that cannot be
    // opened leaves the pages shown with their tab sheets disabled, without a message.
    void OpenDatabase(const QString& FileName);
    // Commits and closes the database; a failed commit is shown in an error box.
    void CloseDatabase();
    void EnablePages();
    void DisablePages();

    TCounterSession& Session() { return FSession; }

    QTabWidget* pages;
    QWidget* tsnode;
    QTreeView* nodes;
    QDateEdit* dpnode;
    QSpinBox* senodes;
    QPushButton* Button1;
    QWidget* tsall;
    QSpinBox* seall;
    QPushButton* Button2;
    QWidget* tsdate;
    QLabel* Lbd;
    QDateEdit* dphosts;
    QSpinBox* sehosts;
    QPushButton* Button3;
    QDateEdit* dphits;
    QSpinBox* sehits;
    QPushButton* Button4;
    QLabel* Label8;
    QLabel* Label9;
    QFileDialog* od;
    QMenuBar* MainMenu1;
    QAction* ToolButton1; // "Open Kestrow Database"
    QAction* ToolButton2; // "Close DataBase"
    QAction* ToolButton3; // "Exit program"
    QAction* Help1;
    QAction* About1;

public slots:
    void ToolButton1Click();
    void ToolButton2Click();
    void ToolButton3Click();
    void Help1Click();
    void About1Click();
    void nodesDblClick();
    void dpnodeChange();
    void Button1Click();
    void Button2Click();
    void dphostsChange();
    void Button3Click();
    void dphitsChange();
    void Button4Click();
    void tsdateShow();

protected:
    void closeEvent(QCloseEvent* Event) override;

private:
    void CreateMenu();
    void CreatePages();
    QWidget* CreateNodePage();
    QWidget* CreateAllHostsPage();
    QWidget* CreateDatePage();
    // Runs a handler: an exception is shown in an error box and goes no further. Handlers
    // do nothing while a correction is being booked.
    template <class F> void Handle(F&& Action);
    void ShowError(const QString& Text);
    // The selected row of the page list, or -1.
    int SelectedNode() const;
    void ReloadNodes();
    // Books a correction with a progress box when it is long, keeping the window painted; the
    // box's Cancel stops the booking after the one under way.
    void RunBookings(const std::function<void(const TBookingProgress&)>& Book);

    TCounterSession FSession;
    // Declared after the session so that it goes first: the model reads the session.
    std::unique_ptr<TNodeListModel> NodesModel;
    bool IsBooking = false;
};

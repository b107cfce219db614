// The About box: the program's name, the file version of its own executable and the maker's
// line with a link to the maker's site. Modal; freed by its owner or when closed.
#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

// The maker's web address that Label4 opens.
inline constexpr const char* MakerURL = "https://kestrow.example.org/";

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    // FormCreate: lvers shows the running program's file version, or nothing when it has none.
    explicit TAboutBox(QWidget* Owner = nullptr);

    QLabel* Label1;
    QLabel* Label2;
    QLabel* lvers;
    QLabel* Label3;
    QLabel* Label4;
    QFrame* Bevel1;
    QLabel* Image1;
    QPushButton* BitBtn1;

public slots:
    // Opens the maker's site in the desktop's browser.
    void FormClick();
    void BitBtn1Click();
};

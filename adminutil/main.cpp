// The program entry of tallbrook: the application, the main window and the (hidden) About box;
// also the program's version note, which the About box reads back from this file.
#include "adminutil/UAbout.h"
#include "adminutil/UMain.h"
#include "adminutil/UVers.h"

#include <QApplication>

KESTROW_VERSION_NOTE(TALLBROOK_VERSION_MAJOR, TALLBROOK_VERSION_MINOR, TALLBROOK_VERSION_RELEASE,
                     TALLBROOK_VERSION_BUILD);

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    TForm1 Form1;
    TAboutBox AboutBox(&Form1);
    Form1.show();
    return application.exec();
}

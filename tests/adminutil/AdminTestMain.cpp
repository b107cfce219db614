// The admin utility's test program entry: the tests need a QApplication, on the offscreen
// platform unless another is asked for. The program carries a version note like tallbrook's,
// so that the About box has a version to show here too.
#include "adminutil/UVers.h"

#include <QApplication>
#include <gtest/gtest.h>

KESTROW_VERSION_NOTE(TALLBROOK_VERSION_MAJOR, TALLBROOK_VERSION_MINOR, TALLBROOK_VERSION_RELEASE,
                     TALLBROOK_VERSION_BUILD);

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}

// A program that only carries a version note, built with the version its build gives it;
// the version tests read it back.
#include "adminutil/UVers.h"

KESTROW_VERSION_NOTE(TALLBROOK_VERSION_MAJOR, TALLBROOK_VERSION_MINOR, TALLBROOK_VERSION_RELEASE,
                     TALLBROOK_VERSION_BUILD);

int main() { return 0; }

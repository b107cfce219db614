// The CGI program `counter`: answers the one request the web server started it for.
#include <csignal>
#include <exception>

#include "platform/FileUtils.h"
#include "storage/Corvane.h"
#include "webadmin/UWMAdm.h"
#include "webadmin/WebModule.h"

int main(int argc, char** argv) {
    // A client that goes away must not kill the program before the database is committed.
    std::signal(SIGPIPE, SIG_IGN);
    StartStorageEngine();
    {
        TWM module(ProgramFilePath(argc > 0 ? argv[0] : "counter"));
        TWebRequest request = TWebRequest::FromProcess();
        TWebResponse response(request, TWebResponse::StdoutWriter());
        module.DispatchRequest(request, response);
    }
    // The shared counter is committed and closed before the storage engine reports what was
    // never freed; left to static destruction it would be aborted by that report.
    FinalizeCounterBase();
    StopStorageEngine();
    return 0;
}

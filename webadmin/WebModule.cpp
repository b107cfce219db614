// The web module: creation, destruction and the choice of action item.
#include "webadmin/WebModule.h"

#include <exception>

#include "webadmin/BuiltinImages.h"
#include "webadmin/SkinAnswers.h"
#include "webadmin/UWMAdm.h"

namespace {

// The footer's two advertisement places. Left empty here: an operator who joins an
// advertisement exchange puts its snippets in these frames.
const char* const BannerLines[2] = {
    "<iframe width=468 height=60 frameborder=0 scrolling=no marginwidth=0 marginheight=0 src=\"about:blank\"></iframe>",
    "<iframe width=468 height=60 frameborder=0 scrolling=no marginwidth=0 marginheight=0 src=\"about:blank\"></iframe>",
};

std::string DirectoryOf(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

} // namespace

TWM::TWM(std::string_view programPath)
    : Bunners({BannerLines[0], BannerLines[1]}), Logos(MakeLogoBitmaps), DefSkin(MakeDefaultSkinBitmaps) {
    Dispatcher = std::make_unique<TBaseDispatcher>();
    ProgramPath = std::string(programPath);
    ProgramDir = DirectoryOf(programPath);
}

TWM::~TWM() { Dispatcher.reset(); }

void TWM::DispatchRequest(TWebRequest& request, TWebResponse& response) {
    struct TCurrentResponse {
        TWM& Module;
        ~TCurrentResponse() { Module.Response = nullptr; }
    } current{*this};
    Response = &response;
    try {
        if (request.PathInfo() == "/Images")
            WebModule1ImgsAction(*this, request, response);
        else
            WMMainItemAction(*this, request, response);
        if (!response.Sent()) response.SendResponse();
    } catch (const std::exception& error) {
        response.SendError(ExceptionClassName(error), error.what());
    }
}

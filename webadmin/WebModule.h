// The web module TWM: the program's one request handler object with its built-in data
// (footer snippets, logos, default skin) and the wait object, and the routing of a request to
// its action item.
#pragma once

#include <memory>
#include <string_view>

#include "platform/Cgi.h"
#include "webadmin/ImageLib.h"
#include "webadmin/StringContainer.h"
#include "webadmin/UCounter.h"

class TWM {
public:
    // Creates the dispatcher and notes the program's directory from its path (argument 0).
    explicit TWM(std::string_view programPath);
    ~TWM();
    TWM(const TWM&) = delete;
    TWM& operator=(const TWM&) = delete;

    // Runs the request through the action items: the path "/Images" goes to the logo handler,
    // everything else to the main handler. Exactly one answer is sent; an exception that
    // leaves a handler becomes the status 500 answer.
    void DispatchRequest(TWebRequest& request, TWebResponse& response);

    TStringContainer Bunners;
    TImageLib Logos;
    TImageLib DefSkin;
    std::unique_ptr<TBaseDispatcher> Dispatcher;
    // The answer of the request being dispatched (nullptr outside DispatchRequest), for a page
    // body that answers by itself.
    TWebResponse* Response = nullptr;
};

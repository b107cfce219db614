// The skin and image answers of the web program: the skin editor page, the skin upload, the
// skin preview (with its "NO!" image while the database is busy), the hourly diagram and the
// logos. Every picture leaves as a GIF made by the image codec.
#include "webadmin/SkinAnswers.h"

#include <optional>
#include <variant>

#include "imaging/GifImage.h"
#include "platform/MemoryStream.h"
#include "platform/StrUtils.h"
#include "webadmin/Multipart.h"
#include "webadmin/RequestGuard.h"
#include "webadmin/SkinType.h"
#include "webadmin/UWMAdm.h"
#include "webadmin/WebModule.h"

namespace {

const std::string CRLF = "\r\n";
const std::string Q = "\"";

// The preview's patience with a busy database: tries, and the wait after each failed one.
constexpr int PreviewTries = 11;
constexpr uint16_t PreviewRetryWait = 1000;
constexpr int32_t PreviewValue = 220608;

const std::string UploadUnavailableText = "Counter database is unavaliable!!! Please, try again in a few second.";
const std::string ShortContentText = "Request content is empty!!!";

// A bitmap as GIF file bytes.
std::string GifBytes(const TBitmap& bitmap) {
    TGIFImage gif;
    gif.Assign(bitmap);
    gif.Transparent = false;
    TMemoryStream stream;
    gif.SaveToStream(stream);
    const std::vector<uint8_t>& bytes = stream.Bytes();
    return std::string(bytes.begin(), bytes.end());
}

void SendGif(TWebResponse& response, const std::string& contentType, const TBitmap& bitmap) {
    response.ContentType = contentType;
    response.SetContentStream(GifBytes(bitmap));
    response.SendResponse();
}

TBitmap NoImage() {
    TBitmap bitmap(50, 20);
    bitmap.FillRect({0, 0, 50, 20}, clWhite);
    bitmap.BrushColor = clYellow;
    bitmap.FontColor = clBlack;
    bitmap.TextOut(2, 2, "NO!");
    return bitmap;
}

std::string UploadAnswerPage(const TWebRequest& request, const std::string& text) {
    return "<html><head></head><body text=#003399 bgcolor=#EEEEEE>"
           "<style><!--  a {text-decoration:none;};  --></style>"
           "<a href=" +
           Q + ScriptLink(request) + "?page=editskins" + Q + ">" + text + "</a><br></body></html>";
}

const std::string SuccessText = "<center><font size=+2 color=black>Skin added succesfully! Back to Skin editor";
const std::string ErrorText =
    "<center><font size=+2 color=black>Error during adding skin! Back to Skin editor and try again";

// Loads every "file1" part that carries a content type and data; the last one decides.
bool LoadUploadedSkin(std::string_view body, const std::string& boundary, TSkin& skin) {
    const std::string delimiter = "--" + boundary;
    const size_t closingLength = delimiter.size() + 2 + CRLF.size();
    bool loaded = false;
    TMultipartCursor cursor;
    while (body.size() - cursor.Offset > closingLength) {
        TMultipartPart part;
        try {
            if (!SplitNextPart(delimiter, body, cursor, part)) break;
            std::vector<std::string> disposition = ExtractHeaderFields(part.Header("Content-Disposition"), true);
            if (part.Header("Content-Type").empty() || part.Data.empty() ||
                HeaderFieldValue(disposition, "name") != "file1")
                continue;
            TMemoryStream data(std::vector<uint8_t>(part.Data.begin(), part.Data.end()));
            loaded = skin.LoadFromStream(&data);
        } catch (const std::exception&) {
            // one bad part does not stop the others
        }
    }
    return loaded;
}

int32_t StoredSkinCount(ICounter& counter) {
    int32_t stored = 0;
    for (int32_t i = 0; i < counter.GetSkinCount(); ++i)
        if (counter.IsSkinComplete(i)) ++stored;
    return stored;
}

// The upload's body, read whole before the database is opened so that a stalled client holds
// nothing; or the answer when there is nothing to store: the error page for a malformed or
// oversized length or a body that did not arrive in time, the empty answer for no body, the
// short-content text for a body that ended early.
std::variant<std::string_view, std::string> ReadUpload(TWebRequest& request) {
    std::string_view body;
    int64_t length = 0;
    try {
        length = request.ContentLength();
        body = ReadRequestBody(request);
    } catch (const EWebRequestError&) {
        return UploadAnswerPage(request, ErrorText);
    }
    if (body.empty()) return std::string();
    if (int64_t(body.size()) != length) return ShortContentText;
    return body;
}

// The upload answer's text, with the skin of Body stored when it loaded and there is room.
std::string StoreUpload(const TWebRequest& request, std::string_view body, ICounter& counter) {
    std::string boundary = GetBoundary(request);
    TSkin skin;
    if (!boundary.empty() && LoadUploadedSkin(body, boundary, skin) && StoredSkinCount(counter) < MaxSkinCount) {
        TSkinImages images = skin.SaveToStreams();
        TSkinStreams streams{};
        for (int i = 0; i < SkinImageCount; ++i) streams[size_t(i)] = images[size_t(i)].get();
        counter.AddSkin(streams);
        counter.SetSkinInfo(counter.GetSkinCount() - 1, skin.Layout(), skin.Info(), int32_t(skin.BackColor()), nullptr);
        return UploadAnswerPage(request, SuccessText);
    }
    return UploadAnswerPage(request, ErrorText);
}

std::string UploadForm(const TWebRequest& request) {
    const std::string sn = ScriptLink(request);
    const std::string pieces[] = {
        "<script language=javascript>",
        "<!--",
        "function CheckNames()",
        "{return (!(document.forms[0].file1.value==" + Q + Q + "))}",
        "function ButtonClick()",
        "{",
        "if (CheckNames()) {document.forms[0].submit()} else {alert(" + Q + "Please, select skin file!!!" + Q + ")}",
        "}",
        "//-->",
        "</script>",
        "Please, select the <b>Skin</b> file in the box and press " + Q + "SEND" + Q + "<br>",
        "<form action=" + Q + sn + "?proof=" + ChangeProof() + Q + " method=post enctype=" + Q + "multipart/form-data" +
            Q + ">",
        "Skin file name :<input name=" + Q + "file1" + Q + " type=file size=40><br>",
        "<input type=button value=" + Q + "Send" + Q + " onClick=" + Q + "ButtonClick();" + Q + ">",
        "</form></font></body></html>",
    };
    std::string html = "<br>";
    for (const std::string& piece : pieces) html += CRLF + piece;
    return html;
}

std::string SkinList(const TWebRequest& request, ICounter& counter) {
    const std::string sn = ScriptLink(request);
    TPageText text;
    text << "Editing Skins. Please, press <b><font color=navy>Add</font></b> or select the skin you want to "
            "<b><font color=navy>Delete</font></b><br>"
         << "<form action=" + Q + sn + Q + " method=get>"
         << "<input name=page value=editskins type=hidden>"
         << "<input name=ed value=addpg type=hidden>"
         << "<input type=submit value=" + Q + "Add Skin" + Q + ">"
         << "</form>"
         << "<br>" + SeparatorTable + "<br><font color=navy>Avaliabled skins: </font><br>"
         << "<form method=get action=" + Q + sn + Q + ">"
         << "<input type=hidden name=page value=editskins>"
         << "<input type=hidden name=ed value=delpg>" << ProofInput();
    int32_t count = counter.GetSkinCount();
    for (int32_t i = 0; i < count; ++i) {
        if (!counter.IsSkinComplete(i)) continue;
        std::string n = IntToStr(i);
        text << "<input type=radio name=" + Q + "val" + Q + " value=" + Q + n + Q + ">Skin # " + n + "<img src=" + Q +
                    sn + "?skin=" + n + Q + "><br>";
    }
    text << "<input type=submit value=" + Q + "Delete skin" + Q + ">"
         << "</form></font>";
    return text.Take();
}

} // namespace

TBitmap MakeSkinPreview(const TWebRequest& request, ICounter* counter) {
    if (!counter) {
        TBitmap sorry(150, 40);
        sorry.FillRect({0, 0, 150, 40}, clBlack);
        sorry.BrushColor = clBlack;
        sorry.FontColor = clWhite;
        sorry.TextOut(5, 5, "Sorry, counter database");
        sorry.TextOut(5, 20, "       is unavaliable");
        return sorry;
    }
    TSkin skin;
    skin.SetValue(PreviewValue);
    std::string field = request.QueryField("skin");
    int32_t n = 0;
    if (!field.empty()) {
        n = StrToIntDef(field, 0);
        if (n < 0 || n >= counter->GetSkinCount() || !counter->IsSkinComplete(n)) n = 0;
    }
    TSkinImages images;
    counter->GetSkinImages(n, images);
    skin.SetStreams(images);
    TSkinInfo info;
    int32_t colour = 0;
    TSkinLayout layout;
    counter->GetSkinInfo(n, info, colour, layout);
    skin.SetHeader(layout);
    skin.SetInfo(info);
    skin.SetBackColor(TColor(colour));
    return skin.GetImage();
}

void SkinPreviewAnswer(TWM& module, TWebRequest& request, TWebResponse& response) {
    std::optional<TCounterSession> session;
    for (int attempt = 0; attempt < PreviewTries; ++attempt) {
        session.emplace(module);
        if (session->IsOpen()) break;
        session.reset();
        module.Dispatcher->WaitForDispatch(PreviewRetryWait);
    }
    if (!session) {
        SendGif(response, "image/GIF", NoImage());
        return;
    }
    std::string gif = GifBytes(MakeSkinPreview(request, &session->Counter()));
    session->Release();
    response.ContentType = "image/GIF";
    response.SetContentStream(std::move(gif));
    response.SendResponse();
}

void DiagramAnswer(TWM& module, TWebRequest&, TWebResponse& response) {
    TCounterSession session(module);
    if (session.IsOpen()) {
        std::array<int32_t, 25> hours{};
        session.Counter().GetHourlyHits(hours, "");
        response.SetContentStream(std::string());
    }
    response.ContentType = "image/gif";
    response.SendResponse();
}

void WebModule1ImgsAction(TWM& module, TWebRequest& request, TWebResponse& response) {
    std::string field = request.QueryField("img");
    int32_t n = field.empty() ? 0 : StrToIntDef(field, 0);
    // Past the last logo the first is shown; a negative number raises the list-index error.
    if (n > module.Logos.Count() - 1) n = 0;
    const TBitmap& logo = ImageLibBitmap(module.Logos, n);
    SendGif(response, "image/gif", logo);
}

void WebModule1SaveImgAction(TWM& module, TWebRequest& request, TWebResponse& response) {
    response.ContentType = "text/html";
    if (std::string_view refusal = ChangeRefusalText(request); !refusal.empty()) {
        response.Content =
            UploadAnswerPage(request, "<center><font size=+2 color=black>" + Html(refusal) + " Back to Skin editor");
        response.SendResponse();
        return;
    }
    std::variant<std::string_view, std::string> upload = ReadUpload(request);
    if (const std::string* answer = std::get_if<std::string>(&upload)) {
        response.Content = *answer;
    } else {
        TCounterSession session(module);
        if (!session.IsOpen()) {
            response.Content = UploadUnavailableText;
        } else {
            response.Content = StoreUpload(request, std::get<std::string_view>(upload), session.Counter());
            session.Release();
        }
    }
    response.SendResponse();
}

std::string PageEditSkins(TWM& module, TWebRequest& request, TCounterSession& session) {
    ICounter& counter = session.Counter();
    std::string ed = request.QueryField("ed");
    std::string val = request.QueryField("val");
    if (ed == "delpg" && !val.empty()) {
        // Skin 0 and numbers outside the list are left alone.
        if (std::optional<int32_t> index = TryStrToInt(val); index && *index > 0 && *index < counter.GetSkinCount())
            counter.DeleteSkin(*index);
    } else if (ed == "addpg") {
        // The upload form is the whole answer: no frame around it.
        if (!module.Response) return UploadForm(request);
        session.Release();
        module.Response->ContentType = "text/html";
        module.Response->Content = UploadForm(request);
        module.Response->SendResponse();
        return {};
    }
    return SkinList(request, counter);
}
